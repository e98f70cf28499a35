// Fuzz target: the settings store reader on any store file. A damaged store
// may cost the values it damaged, and must say so; it must never cost more.
#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FuzzCheck.h"
#include "Settings.h"

// A stored "@Variant(...)" value is unpacked by Qt, and a damaged one may ask
// for tens of gigabytes at once. Qt copes with the refusal the system gives
// (the value is simply lost); with AddressSanitizer such a request must be
// refused in the same way instead of ending the run.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The wizard reads its store under a QApplication, and Qt unpacks some
  // stored "@Variant(...)" values (a QBitmap, a QCursor) only when there is
  // one: a QCoreApplication would stop on them where the wizard does not.
  // Qt's warnings about damaged values would only slow the run down; only a
  // fatal one, which ends the run, is shown.
  [[maybe_unused]] static const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
      });
  [[maybe_unused]] static const bool offscreen = qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "settings_fuzz";
  static char* argv[] = {name, nullptr};
  static const QApplication app(argc, argv);
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
