// The version the programs say they are (--version): "1.0.0 (a1b2c3d)", the project's version
// and, for a build from a git checkout, the commit ("+dirty" with uncommitted changes).
#pragma once

namespace pellucor {

const char* VersionText();

}  // namespace pellucor
