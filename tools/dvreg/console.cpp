#include "console.h"

#include <cstdio>
#include <strings.h>

namespace dvregtool {

int Succeeded()
{
    std::printf("The operation completed successfully.\n");
    return kExitSuccess;
}

int Failed(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return kExitFailure;
}

int FailedSyntax(const std::string& operation, const std::string& detail)
{
    std::string usage = operation.empty() ? "dvreg /?" : "dvreg " + operation + " /?";
    return Failed("Invalid syntax: " + detail + "\nType \"" + usage + "\" for usage.");
}

int Cancelled()
{
    std::printf("The operation was cancelled by the user.\n");
    return kExitFailure;
}

bool Confirm(const std::string& question)
{
    std::printf("%s ", question.c_str());
    std::fflush(stdout);
    char answer[64];
    if (!std::fgets(answer, sizeof answer, stdin)) {
        std::printf("\n");
        return false;
    }
    std::string text(answer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return strcasecmp(text.c_str(), "y") == 0 || strcasecmp(text.c_str(), "yes") == 0;
}

}  // namespace dvregtool
