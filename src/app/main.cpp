// Pellucor: turns a magnet link into a .torrent file.
#include "app/deployment.h"
#include "app/main_window.h"
#include "base/env.h"

int main(int argc, char** argv) {
  using namespace pellucor;
  std::unique_ptr<Toolkit> toolkit = NewToolkit(argc, argv);
  ChangeCurrentDirectory(RunDirectory());
  int code;
  {
    MainWindow window(*toolkit, SaveDirectory(), BuiltInDeployment());
    window.Create();
    code = toolkit->RunMessageLoop();
  }
  toolkit.reset();
  // The banner thread may still wait on the publisher's site: end without exit-time teardown.
  EndProcess(code);
}
