// The per-user settings store: reading and writing its values.
#include "Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <memory>

#include "names/PathName.h"

namespace tamarind {
namespace {

QString Message(const char* format, const char* name) {
  return QString::fromUtf8(format).arg(QString::fromLatin1(name));
}

// A flag: any 32-bit integer, non-zero meaning on. A text that is no integer
// has the wrong type; an integer beyond 32 bits cannot be read as a flag.
bool ReadFlag(const QSettings& store, const char* name) {
  const QVariant value = store.value(QLatin1String(name));
  if (value.typeId() != QMetaType::QString && value.typeId() != QMetaType::Int &&
      value.typeId() != QMetaType::LongLong && value.typeId() != QMetaType::UInt) {
    throw ERegistryException(Message("'%1' のデータ型が不正です", name).toStdString());
  }
  bool isNumber = false;
  const QString text = value.toString().trimmed();
  const qlonglong number = text.toLongLong(&isNumber, 10);
  if (!isNumber) {
    // Digits that do not fit even 64 bits are still a number, only too big.
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]+$"));
    if (digits.match(text).hasMatch()) {
      throw ERegistryException(Message("'%1' の取得に失敗しました", name).toStdString());
    }
    throw ERegistryException(Message("'%1' のデータ型が不正です", name).toStdString());
  }
  if (number < -2147483648LL || number > 4294967295LL) {
    throw ERegistryException(Message("'%1' の取得に失敗しました", name).toStdString());
  }
  return number != 0;
}

QString ReadString(const QSettings& store, const char* name) {
  const QVariant value = store.value(QLatin1String(name));
  if (value.typeId() != QMetaType::QString) {
    throw ERegistryException(Message("'%1' のデータ型が不正です", name).toStdString());
  }
  return value.toString();
}

}  // namespace

// The one place the store is opened: per user, under the program's own key.
std::unique_ptr<QSettings> OpenSettingsStore() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     QStringLiteral("Oxbellow"), QStringLiteral("tamarind"));
}

bool CreateSettingsStore(const QSettings& store) {
  const QString file = store.fileName();
  if (QFileInfo::exists(file)) return QFileInfo(file).isFile();
  if (!QDir().mkpath(QFileInfo(file).absolutePath())) return false;
  QFile empty(file);
  return empty.open(QIODevice::WriteOnly);
}

QString FolderOfFileName(const QString& fileName) {
  return QString::fromStdString(FolderAsStored(fileName.toStdString()));
}

QString DefaultAbsFolder() {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  // A fresh account often has no documents folder yet; a default that is no
  // folder would only be refused when the options page is left.
  if (documents.isEmpty() || !QFileInfo(documents).isDir()) return QDir::homePath();
  return QDir::toNativeSeparators(documents);
}

QString SettingsFileName() {
  return OpenSettingsStore()->fileName();
}

StoredSettings ReadStoredSettings(const QSettings& store) {
  StoredSettings read;
  // A faulty value is left out and the rest still read; the first fault is
  // kept for the user.
  auto load = [&](const char* name, auto&& apply) {
    if (!store.contains(QLatin1String(name))) return;
    try {
      apply(name);
    } catch (const ERegistryException& e) {
      if (read.firstError.isEmpty()) read.firstError = QString::fromUtf8(e.what());
    }
  };
  load(setting::kFileFolder, [&](const char* n) { read.fileFolder = ReadString(store, n); });
  load(setting::kShowTitlePage, [&](const char* n) { read.showTitlePage = ReadFlag(store, n); });
  load(setting::kShowOptionPage, [&](const char* n) { read.showOptionPage = ReadFlag(store, n); });
  load(setting::kAddAlt, [&](const char* n) { read.addAlt = ReadFlag(store, n); });
  load(setting::kMakeBak, [&](const char* n) { read.makeBak = ReadFlag(store, n); });
  load(setting::kOverWrite, [&](const char* n) { read.overWrite = ReadFlag(store, n); });
  load(setting::kQuoteWrite, [&](const char* n) { read.quoteWrite = ReadFlag(store, n); });
  load(setting::kAbsFolder, [&](const char* n) { read.absFolder = ReadString(store, n); });
  load(setting::kMoreFormats, [&](const char* n) { read.moreFormats = ReadFlag(store, n); });
  return read;
}

void WriteStoredSettings(QSettings& store, const StoredSettings& values) {
  const char* first = nullptr;
  auto put = [&](const char* name, const QVariant& value) {
    store.setValue(QLatin1String(name), value);
    if (first == nullptr) first = name;
  };
  auto flag = [&](const char* name, const std::optional<bool>& on) {
    if (on) put(name, *on ? 1 : 0);
  };
  if (values.fileFolder) put(setting::kFileFolder, *values.fileFolder);
  flag(setting::kShowTitlePage, values.showTitlePage);
  flag(setting::kShowOptionPage, values.showOptionPage);
  flag(setting::kAddAlt, values.addAlt);
  flag(setting::kMakeBak, values.makeBak);
  flag(setting::kOverWrite, values.overWrite);
  flag(setting::kQuoteWrite, values.quoteWrite);
  if (values.absFolder) put(setting::kAbsFolder, *values.absFolder);
  flag(setting::kMoreFormats, values.moreFormats);
  // The store is written as a whole; whether it took is known once it has
  // been flushed, and not for which value, so the first one is named.
  store.sync();
  if (store.status() != QSettings::NoError && first != nullptr) {
    throw ERegistryException(Message("'%1' の設定に失敗しました", first).toStdString());
  }
}

}  // namespace tamarind
