// tamarind: the wizard.
#include <QApplication>

#include "StartUp.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  return tamarind::RunProgram();
}
