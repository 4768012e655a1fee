#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

namespace dvtest {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/dorvane-test-XXXXXX";
    char* made = mkdtemp(pattern.data());
    if (!made) {
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

StateDir::StateDir()
{
    const char* previous = std::getenv("DORVANE_STATE_DIR");
    hadPrevious_ = previous != nullptr;
    if (previous) previous_ = previous;
    setenv("DORVANE_STATE_DIR", path().c_str(), 1);
}

StateDir::~StateDir()
{
    if (hadPrevious_) {
        setenv("DORVANE_STATE_DIR", previous_.c_str(), 1);
    } else {
        unsetenv("DORVANE_STATE_DIR");
    }
}

}  // namespace dvtest
