// pellucor-convert: magnet links to .torrent files from a terminal or a script.
#include "cli/console.h"
#include "cli/convert_command.h"

int main(int argc, char** argv) {
  return pellucor::RunConvertCommand(pellucor::CommandLineArguments(argc, argv));
}
