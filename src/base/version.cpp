#include "base/version.h"

#include "pellucor_version.h"

namespace pellucor {

const char* VersionText() {
  return PELLUCOR_VERSION_TEXT;
}

}  // namespace pellucor
