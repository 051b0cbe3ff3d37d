// Dirlook's entry point: the window over phones.dbf in the current
// directory.
#include "main_window.h"
#include "platform/gui/application.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  return DirlookMain(app);
}
