// A fresh private folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace dvtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A TempDir that is also $DORVANE_STATE_DIR while it lives.
class StateDir : public TempDir {
public:
    StateDir();
    ~StateDir();

private:
    std::string previous_;
    bool hadPrevious_;
};

}  // namespace dvtest
