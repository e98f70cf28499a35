// tamarind: the wizard.
#include <QApplication>

#include "MainDialog.h"
#include "MainProc.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Oxbellow"));
  QApplication::setApplicationName(QStringLiteral("tamarind"));
  // No display name of its own: the desktop would add it to every caption.

  // The engine's state lives as long as the process; the dialog is its one
  // user.
  static tamarind::MainProc engine;
  tamarind::TFm_MainDialog dialog(engine);
  tamarind::Fm_MainDialog = &dialog;
  dialog.show();
  const int status = QApplication::exec();
  tamarind::Fm_MainDialog = nullptr;
  return status;
}
