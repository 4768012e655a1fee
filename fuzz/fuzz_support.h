// What every harness that runs the server's own code needs: a private state
// folder, and a system log left alone.
#pragma once

#include <string>

namespace dvfuzz {

// Points $DORVANE_STATE_DIR at a fresh folder (on a memory file system when
// there is one, so that flushes cost little), removed when the process ends.
// Returns the folder.
const std::string& UsePrivateStateDir();

}  // namespace dvfuzz
