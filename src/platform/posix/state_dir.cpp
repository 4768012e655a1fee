#include "platform/posix/state_dir.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace dvstate {

std::string StateDir()
{
    const char* dir = std::getenv("DORVANE_STATE_DIR");
    return (dir && *dir) ? dir : "/var/lib/dorvane";
}

int MakePrivateDirs(const std::string& path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace dvstate
