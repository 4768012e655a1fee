// The folder where the layer keeps the server's state: $DORVANE_STATE_DIR,
// /var/lib/dorvane when unset. Everything below it is private to its owner.
#pragma once

#include <string>

namespace dvstate {

std::string StateDir();

// Creates every missing folder of the path with mode 0700; returns errno, 0 on success.
int MakePrivateDirs(const std::string& path);

}  // namespace dvstate
