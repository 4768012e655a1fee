// dvreg's command line, in reg.exe's syntax: an operation, its operands (a key,
// a file) and switches such as /v NAME, taken with / or - and in any case.
// "--state-dir DIR" may come anywhere.
#pragma once

#include <string>
#include <vector>

namespace dvregtool {

enum class Operation { kNone, kQuery, kAdd, kDelete, kExport, kImport };

struct Arguments {
    Operation operation = Operation::kNone;
    std::string operationName;  // as dvreg's messages name it: "query", "add", ...
    bool help = false;
    std::vector<std::string> operands;
    bool oneValue = false;  // /v NAME, or /ve with an empty name
    std::string valueName;
    bool allValues = false;  // delete /va
    bool recursive = false;  // query /s
    bool hasType = false;
    std::string typeName;
    bool hasSeparator = false;  // add /s SEP
    std::string separator = "\\0";
    bool hasData = false;
    std::string data;
    bool force = false;  // /f, and /y of export
    std::string stateDir;
};

// False with *error set (what is wrong, a sentence) when the command line is not one dvreg takes.
bool ParseArguments(int argc, char** argv, Arguments* arguments, std::string* error);

}  // namespace dvregtool

namespace dvregtool {

// dvreg's usage, or one operation's.
void PrintUsage(Operation operation);

}  // namespace dvregtool
