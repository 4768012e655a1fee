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
    dvregtool::Arguments arguments;
    std::string error;
    if (!dvregtool::ParseArguments(argc, argv, &arguments, &error)) {
        return dvregtool::FailedSyntax(arguments.operationName, error);
    }
    if (arguments.help) {
        dvregtool::PrintUsage(arguments.operation);
        return dvregtool::kExitSuccess;
    }
    if (!arguments.stateDir.empty()) setenv("DORVANE_STATE_DIR", arguments.stateDir.c_str(), 1);
    // The registry would make a missing folder: a mistyped one must not become an empty registry.
    std::string stateDir = dvstate::StateDir();
    struct stat st;
    if (stat(stateDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return dvregtool::Failed("The state folder " + stateDir +
                             " does not exist (set DORVANE_STATE_DIR or give --state-dir DIR).");
    }
    switch (arguments.operation) {
    case dvregtool::Operation::kQuery:
        return dvregtool::RunQuery(arguments);
    case dvregtool::Operation::kAdd:
        return dvregtool::RunAdd(arguments);
    case dvregtool::Operation::kDelete:
        return dvregtool::RunDelete(arguments);
    case dvregtool::Operation::kExport:
        return dvregtool::RunExport(arguments);
    case dvregtool::Operation::kImport:
        return dvregtool::RunImport(arguments);
    case dvregtool::Operation::kNone:
        break;
    }
    return dvregtool::FailedSyntax("", "no operation given.");
}
