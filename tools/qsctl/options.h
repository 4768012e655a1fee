// The command line of qsctl: one command, its positional arguments and the
// options, which may come before or after the command.
#pragma once

#include "platform/win32.h"

// Exit codes scripts can rely on.
enum QSCTL_EXIT {
    QSCTL_EXIT_SUCCESS = 0,
    QSCTL_EXIT_NO_ANSWER = 1,       // nothing came back within the timeout, every retransmission included
    QSCTL_EXIT_BAD_ARGUMENTS = 2,
    QSCTL_EXIT_NOT_ATTACHED = 3,    // status 2
    QSCTL_EXIT_DENIED = 4,          // status 5: the partner holds the quorum or won the vote
    QSCTL_EXIT_QUORUM_STATE = 5,    // status 3, 6 or 7: the request does not fit the peer's quorum state
    QSCTL_EXIT_REFUSED = 6,         // status 1 or 11: a malformed request or another server named
    QSCTL_EXIT_SERVER_FULL = 7,     // status 9 or 10
    QSCTL_EXIT_SERVER_ERROR = 8,    // status 65534 or one qsctl does not know
    QSCTL_EXIT_LOCAL_FAILURE = 9,   // the host name did not resolve, or no socket could be opened
};

// Options, one bit each, so that a command can list those it takes.
enum QSCTL_OPTION_BIT {
    QSCTL_OPT_PORT = 1u << 0,
    QSCTL_OPT_TIMEOUT = 1u << 1,
    QSCTL_OPT_RETRIES = 1u << 2,
    QSCTL_OPT_JSON = 1u << 3,
    QSCTL_OPT_INSTANCE_TIMEOUT = 1u << 4,
    QSCTL_OPT_KEEPALIVE_INTERVAL = 1u << 5,
    QSCTL_OPT_HEALTH = 1u << 6,
    QSCTL_OPT_WINDOW = 1u << 7,
    QSCTL_OPT_AM_ID = 1u << 8,
};

// The options every command takes.
constexpr unsigned QSCTL_OPT_COMMON = QSCTL_OPT_PORT | QSCTL_OPT_TIMEOUT | QSCTL_OPT_RETRIES | QSCTL_OPT_JSON;

constexpr WORD QSCTL_DEFAULT_PORT = 4557;
constexpr DWORD QSCTL_DEFAULT_TIMEOUT_MS = 500;
constexpr DWORD QSCTL_DEFAULT_RETRIES = 2;
constexpr DWORD QSCTL_MAX_RETRIES = 20;
constexpr DWORD QSCTL_DEFAULT_INSTANCE_TIMEOUT_MS = 10000;
constexpr DWORD QSCTL_DEFAULT_KEEPALIVE_INTERVAL_MS = 1000;
constexpr DWORD QSCTL_DEFAULT_WINDOW_MS = 2000;
constexpr int QSCTL_MAX_POSITIONALS = 32;
constexpr size_t QSCTL_AM_ID_SIZE = 37;

struct QSCTL_OPTIONS {
    WORD port;
    DWORD timeoutMs;
    DWORD retries;  // retransmissions of an unanswered request
    BOOL json;
    BOOL help;
    DWORD instanceTimeoutMs;
    DWORD keepaliveIntervalMs;
    ULONGLONG health;
    DWORD windowMs;
    char amId[QSCTL_AM_ID_SIZE];  // empty: "qsctl-am1" or "qsctl-am2"
    unsigned given;               // QSCTL_OPTION_BIT of every option on the line
    const char* command;          // NULL when none was given
    int positionalCount;
    const char* positionals[QSCTL_MAX_POSITIONALS];
};

// Splits argv into command, positionals and options with their defaults.
// FALSE, after a message on stderr, for an unknown or malformed option.
BOOL QsctlParseCommandLine(int argc, char** argv, QSCTL_OPTIONS* options);

// A whole decimal number from min to max.
BOOL QsctlParseNumber(const char* text, unsigned long min, unsigned long max, DWORD* number);

// A port from 1 to 65535, a PVM ID, or an AM number 1 or 2; FALSE after a message on stderr.
BOOL QsctlParsePort(const char* command, const char* text, WORD* port);
BOOL QsctlParsePvm(const char* command, const char* text, BYTE* pvmId);
BOOL QsctlParseAm(const char* command, const char* text, DWORD* amNumber);

// The option's name, "--port" and so on.
const char* QsctlOptionName(unsigned bit);
