// A build without libtorrent: --swarm is not one of its options.
#include "cli/swarm_command.h"

namespace pellucor {

const bool kSwarmBuilt = false;

int ConvertFromSwarm(const ConvertOptions&) {
  WriteText(StandardStream::Error,
            ConcatText(kConvertProgram, ": this build cannot look links up in the swarm\n"));
  return kExitUsage;
}

}  // namespace pellucor
