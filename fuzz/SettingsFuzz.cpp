// Fuzz target: the settings store reader on any store file. A damaged store
// may cost the values it damaged, and must say so; it must never cost more.
#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

#include "Settings.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int argc = 1;
  static char name[] = "settings_fuzz";
  static char* argv[] = {name, nullptr};
  static const QCoreApplication app(argc, argv);
  static const QTemporaryDir folder;
  static uint64_t serial = 0;
  Check(folder.isValid());
  // A new name every time: QSettings keeps the stores it has read, and takes
  // a file rewritten at the same size within the same millisecond for the
  // one it knows.
  const QString path = folder.filePath(QString::number(++serial) + QStringLiteral(".conf"));
  {
    QFile file(path);
    Check(file.open(QIODevice::WriteOnly) &&
          file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) ==
              static_cast<qint64>(size));
  }
  {
    const QSettings store(path, QSettings::NativeFormat);
    const tamarind::StoredSettings read = tamarind::ReadStoredSettings(store);
    // A value is read only when the store holds it; one it holds but that
    // was not read is a fault, and there is a message exactly when there is
    // a fault.
    int faults = 0;
    auto check = [&](const char* key, bool wasRead) {
      const bool held = store.contains(QLatin1String(key));
      Check(held || !wasRead);
      if (held && !wasRead) ++faults;
    };
    namespace s = tamarind::setting;
    check(s::kFileFolder, read.fileFolder.has_value());
    check(s::kShowTitlePage, read.showTitlePage.has_value());
    check(s::kShowOptionPage, read.showOptionPage.has_value());
    check(s::kAddAlt, read.addAlt.has_value());
    check(s::kMakeBak, read.makeBak.has_value());
    check(s::kOverWrite, read.overWrite.has_value());
    check(s::kQuoteWrite, read.quoteWrite.has_value());
    check(s::kAbsFolder, read.absFolder.has_value());
    Check((faults == 0) == read.firstError.isEmpty());
  }
  QFile::remove(path);
  return 0;
}
