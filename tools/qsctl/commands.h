// The commands of qsctl: their names, arguments, options and help.
#pragma once

#include "options.h"

// Runs a command whose arguments have been counted and options checked; its exit code.
typedef int (*QSCTL_RUN)(const QSCTL_OPTIONS* options);

struct QSCTL_COMMAND {
    const char* name;
    const char* alias;  // an older name that still works, or NULL
    QSCTL_RUN run;
    int minArguments;
    int maxArguments;
    unsigned options;   // QSCTL_OPTION_BIT of the options it takes
    const char* synopsis;
    const char* help;
};

// The command named name (or its alias), or NULL.
const QSCTL_COMMAND* QsctlFindCommand(const char* name);

// qsctl --help, and qsctl COMMAND --help, on stdout.
void QsctlPrintHelp();
void QsctlPrintCommandHelp(const QSCTL_COMMAND* command);

int QsctlRunQueryService(const QSCTL_OPTIONS* options);
int QsctlRunScan(const QSCTL_OPTIONS* options);
int QsctlRunInstanceRequest(const QSCTL_OPTIONS* options);
int QsctlRunStatus(const QSCTL_OPTIONS* options);
int QsctlRunAm(const QSCTL_OPTIONS* options);
