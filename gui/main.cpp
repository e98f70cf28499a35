// tamarind: the wizard.
#include <QApplication>

#include "StartUp.h"
#include "files/StandardHandles.h"

int main(int argc, char** argv) {
  // Before Qt opens anything: a page opened as a closed standard output or
  // error would get Qt's warnings written into it.
  if (!tamarind::OpenClosedStandardHandles()) return 1;
  QApplication app(argc, argv);
  return tamarind::RunProgram();
}
