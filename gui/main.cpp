// tamarind: the wizard.
#include <QApplication>

#include "StandardHandles.h"
#include "StartUp.h"

int main(int argc, char** argv) {
  // Before Qt opens anything: a page opened as a closed standard output or
  // error would get Qt's warnings written into it.
  if (!tamarind::OpenClosedStandardHandles()) return 1;
  QApplication app(argc, argv);
  return tamarind::RunProgram();
}
