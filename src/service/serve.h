// pellucor-service serve: the sites on one address until SIGINT or SIGTERM.
#pragma once

#include "service/options.h"

namespace pellucor::service {

// Serves with the settings of the command line; the exit status.
int Serve(Settings& s);

}  // namespace pellucor::service
