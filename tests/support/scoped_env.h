// Sets (or unsets) one environment variable for the life of a test scope.
#pragma once

#include <cstdlib>
#include <string>

namespace dvtest {

class ScopedEnv {
public:
    // A null value unsets the variable.
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        const char* previous = std::getenv(name);
        hadPrevious_ = previous != nullptr;
        if (previous) previous_ = previous;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        if (hadPrevious_) {
            setenv(name_.c_str(), previous_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string previous_;
    bool hadPrevious_;
};

}  // namespace dvtest
