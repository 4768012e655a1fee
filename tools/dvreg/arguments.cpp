#include "arguments.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <strings.h>

namespace dvregtool {

namespace {

struct OperationEntry {
    const char* name;
    Operation operation;
    const char* switches;  // the switches it takes, each between spaces
    size_t operands;
};

const OperationEntry kOperations[] = {
    {"query", Operation::kQuery, " v ve s ", 1},     {"add", Operation::kAdd, " v ve t s d f ", 1},
    {"delete", Operation::kDelete, " v ve va f ", 1}, {"export", Operation::kExport, " y ", 2},
    {"import", Operation::kImport, " ", 1},
};

// The switch the argument is ("v" for "/v" or "-V"), or empty when it is an
// operand: only known switch names count, so "/tmp/backup.reg" is a file.
std::string SwitchName(const char* argument)
{
    static const char* const kSwitches[] = {"?", "v", "ve", "va", "s", "t", "d", "f", "y"};
    if (argument[0] != '/' && argument[0] != '-') return "";
    for (const char* name : kSwitches) {
        if (strcasecmp(argument + 1, name) == 0) return name;
    }
    return "";
}

bool Takes(const OperationEntry& operation, const std::string& name)
{
    return std::strstr(operation.switches, (" " + name + " ").c_str()) != nullptr;
}

}  // namespace

bool ParseArguments(int argc, char** argv, Arguments* arguments, std::string* error)
{
    const OperationEntry* operation = nullptr;
    std::set<std::string> given;
    int selectors = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--state-dir") == 0) {
            if (i + 1 == argc) {
                *error = "--state-dir needs a folder.";
                return false;
            }
            arguments->stateDir = argv[++i];
            continue;
        }
        if (std::strcmp(argument, "--help") == 0 || SwitchName(argument) == "?") {
            arguments->help = true;
            continue;
        }
        if (!operation) {
            for (const OperationEntry& entry : kOperations) {
                if (strcasecmp(argument, entry.name) == 0) operation = &entry;
            }
            if (!operation) {
                *error = std::string("unknown operation \"") + argument + "\".";
                return false;
            }
            arguments->operation = operation->operation;
            arguments->operationName = operation->name;
            continue;
        }
        std::string name = SwitchName(argument);
        if (name.empty()) {
            arguments->operands.push_back(argument);
            continue;
        }
        if (!Takes(*operation, name)) {
            *error = "dvreg " + std::string(operation->name) + " takes no /" + name + ".";
            return false;
        }
        if (!given.insert(name).second) {
            *error = "/" + name + " is given twice.";
            return false;
        }
        // /s is a separator for add, the whole tree for query.
        bool takesArgument =
            name == "v" || name == "t" || name == "d" || (name == "s" && operation->operation == Operation::kAdd);
        if (takesArgument && i + 1 >= argc) {
            *error = "/" + name + " needs an argument.";
            return false;
        }
        const char* next = takesArgument ? argv[++i] : nullptr;
        if (name == "v" || name == "ve" || name == "va" || (name == "s" && !takesArgument)) ++selectors;
        if (name == "v" || name == "ve") {
            arguments->oneValue = true;
            arguments->valueName = next ? next : "";
        } else if (name == "va") {
            arguments->allValues = true;
        } else if (name == "s" && !takesArgument) {
            arguments->recursive = true;
        } else if (name == "t") {
            arguments->hasType = true;
            arguments->typeName = next;
        } else if (name == "s") {
            arguments->hasSeparator = true;
            arguments->separator = next;
        } else if (name == "d") {
            arguments->hasData = true;
            arguments->data = next;
        } else {
            arguments->force = true;
        }
    }
    if (arguments->help) return true;
    if (!operation) {
        *error = "no operation given.";
        return false;
    }
    if (selectors > 1) {
        *error = operation->operation == Operation::kQuery ? "give at most one of /v, /ve and /s."
                                                           : "give at most one of /v, /ve and /va.";
        return false;
    }
    if (arguments->operands.size() != operation->operands) {
        *error = operation->operands == 2 ? "give a key and a file." :
                 operation->operation == Operation::kImport ? "give one file." : "give one key.";
        return false;
    }
    if (arguments->hasSeparator && arguments->separator.size() != 1) {
        *error = "/s takes one character.";
        return false;
    }
    return true;
}

}  // namespace dvregtool

namespace dvregtool {

void PrintUsage(Operation operation)
{
    static const char kKey[] =
        "  KEY       HKLM\\SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters or\n"
        "            HKEY_LOCAL_MACHINE\\...; the registry of $DORVANE_STATE_DIR (or\n"
        "            --state-dir DIR), /var/lib/dorvane when unset.\n";
    switch (operation) {
    case Operation::kQuery:
        std::printf("dvreg query KEY [/v NAME | /ve | /s]\n\n%s"
                    "  /v NAME   only the value NAME\n  /ve       only the default value\n"
                    "  /s        the key and every key below it\n",
                    kKey);
        break;
    case Operation::kAdd:
        std::printf("dvreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n\n%s"
                    "  /v NAME   the value to set (without /v or /ve, only the key is created)\n"
                    "  /ve       the default value\n"
                    "  /t TYPE   REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
                    "            REG_QWORD, REG_BINARY or REG_NONE\n"
                    "  /s SEP    the character between the strings of REG_MULTI_SZ data (\\0 when not given)\n"
                    "  /d DATA   numbers in decimal or 0x hex; REG_BINARY and REG_NONE as hex digits\n"
                    "  /f        overwrite an existing value without asking\n",
                    kKey);
        break;
    case Operation::kDelete:
        std::printf("dvreg delete KEY [/v NAME | /ve | /va] [/f]\n\n%s"
                    "  /v NAME   the value NAME\n  /ve       the default value\n"
                    "  /va       every value of the key (its subkeys stay)\n"
                    "            without any of them, the key and every key below it\n"
                    "  /f        delete without asking\n",
                    kKey);
        break;
    case Operation::kExport:
        std::printf("dvreg export KEY FILE [/y]\n\n%s"
                    "  FILE      the .reg file written, with the key and every key below it\n"
                    "  /y        overwrite an existing file without asking\n",
                    kKey);
        break;
    case Operation::kImport:
        std::printf("dvreg import FILE\n\n"
                    "  FILE      a .reg file (\"Windows Registry Editor Version 5.00\" or REGEDIT4)\n");
        break;
    case Operation::kNone:
        std::printf("dvreg OPERATION [arguments] [--state-dir DIR]\n\n"
                    "  query, add, delete, export, import: the registry of Dorvane's state folder,\n"
                    "  with reg.exe's syntax. \"dvreg OPERATION /?\" describes each.\n");
        break;
    }
}

}  // namespace dvregtool
