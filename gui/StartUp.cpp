#include "StartUp.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace tamarind {

bool UseJapaneseForQt() {
  QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  static QTranslator* installed = nullptr;  // lives as long as the application
  if (installed != nullptr) return true;
  auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator.get())) {
    return false;
  }
  installed = translator.release();
  return true;
}

std::unique_ptr<TFm_MainDialog> StartUp(MainProc& engine, const SplashClock& clock,
                                        DialogServices* services) {
  // The splash comes before anything else is set up; it is no main window.
  auto splash = std::make_unique<TFm_Title>(clock);
  splash->ShowNow();

  QApplication::setApplicationName(QStringLiteral("tamarind"));
  QApplication::setOrganizationName(QStringLiteral("Oxbellow"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/tamarind.png")));
  UseJapaneseForQt();

  auto dialog = std::make_unique<TFm_MainDialog>(engine, services);
  Fm_MainDialog = dialog.get();

  splash->hide();  // waits until the splash has stood long enough
  splash.reset();
  return dialog;
}

int RunProgram() {
  // The engine's state lives as long as the process; the wizard is its one
  // user.
  static MainProc engine;
  const std::unique_ptr<TFm_MainDialog> dialog = StartUp(engine, SystemClock());
  dialog->show();
  const int status = QApplication::exec();
  Fm_MainDialog = nullptr;
  return status;
}

}  // namespace tamarind
