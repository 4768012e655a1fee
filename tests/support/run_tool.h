// Runs one of our programs from the build's bin folder, for the tests of tools.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace dvtest {

// Runs "<bin>/<commandLine>" with its standard error joined to its output;
// returns that output, and the exit status in *status (-1 when it did not exit).
inline std::string RunTool(const std::string& commandLine, int* status)
{
    std::string command = std::string(DORVANE_BINARY_DIR) + "/bin/" + commandLine + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
    int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

}  // namespace dvtest
