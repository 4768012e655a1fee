// dvreg: reads and changes the registry of a Dorvane state folder, with the
// syntax of Windows' reg.exe, so one set of instructions serves both systems.
#include <cstdlib>
#include <sys/stat.h>

#include "arguments.h"
#include "commands.h"
#include "console.h"
#include "platform/posix/state_dir.h"

int main(int argc, char** argv)
{
    dvreg::Arguments arguments;
    std::string error;
    if (!dvreg::ParseArguments(argc, argv, &arguments, &error)) {
        return dvreg::FailedSyntax(arguments.operationName, error);
    }
    if (arguments.help) {
        dvreg::PrintUsage(arguments.operation);
        return dvreg::kExitSuccess;
    }
    if (!arguments.stateDir.empty()) setenv("DORVANE_STATE_DIR", arguments.stateDir.c_str(), 1);
    // The registry would make a missing folder: a mistyped one must not become an empty registry.
    std::string stateDir = dvstate::StateDir();
    struct stat st;
    if (stat(stateDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return dvreg::Failed("The state folder " + stateDir +
                             " does not exist (set DORVANE_STATE_DIR or give --state-dir DIR).");
    }
    switch (arguments.operation) {
    case dvreg::Operation::kQuery:
        return dvreg::RunQuery(arguments);
    case dvreg::Operation::kAdd:
        return dvreg::RunAdd(arguments);
    case dvreg::Operation::kDelete:
        return dvreg::RunDelete(arguments);
    case dvreg::Operation::kExport:
        return dvreg::RunExport(arguments);
    case dvreg::Operation::kImport:
        return dvreg::RunImport(arguments);
    case dvreg::Operation::kNone:
        break;
    }
    return dvreg::FailedSyntax("", "no operation given.");
}
