// qsctl: asks a quorum server questions from the command line, as a peer of a
// PVM would, and simulates a peer (am). See qsctl --help.
#include <cstdio>

#include "commands.h"

int main(int argc, char** argv)
{
    QSCTL_OPTIONS options;
    if (!QsctlParseCommandLine(argc, argv, &options)) return QSCTL_EXIT_BAD_ARGUMENTS;
    if (!options.command) {
        if (options.help) {
            QsctlPrintHelp();
            return QSCTL_EXIT_SUCCESS;
        }
        std::fprintf(stderr, "qsctl: no command given (see qsctl --help)\n");
        return QSCTL_EXIT_BAD_ARGUMENTS;
    }
    const QSCTL_COMMAND* command = QsctlFindCommand(options.command);
    if (!command) {
        std::fprintf(stderr, "qsctl: unknown command \"%s\" (see qsctl --help)\n", options.command);
        return QSCTL_EXIT_BAD_ARGUMENTS;
    }
    options.command = command->name;
    if (options.help) {
        QsctlPrintCommandHelp(command);
        return QSCTL_EXIT_SUCCESS;
    }
    unsigned foreign = options.given & ~command->options;
    if (foreign) {
        unsigned bit = foreign & (0u - foreign);
        std::fprintf(stderr, "qsctl %s: option %s does not apply (see qsctl %s --help)\n", command->name,
                     QsctlOptionName(bit), command->name);
        return QSCTL_EXIT_BAD_ARGUMENTS;
    }
    if (options.positionalCount < command->minArguments || options.positionalCount > command->maxArguments) {
        std::fprintf(stderr, "qsctl %s: wrong number of arguments\nusage: qsctl %s [OPTIONS]\n", command->name,
                     command->synopsis);
        return QSCTL_EXIT_BAD_ARGUMENTS;
    }
    return command->run(&options);
}
