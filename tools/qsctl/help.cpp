// The command table and the help texts.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

constexpr unsigned QSCTL_OPT_PEER = QSCTL_OPT_COMMON | QSCTL_OPT_AM_ID;

const QSCTL_COMMAND kCommands[] = {
    {"query-service", NULL, QsctlRunQueryService, 1, 1, QSCTL_OPT_COMMON, "query-service HOST",
     "Asks the server at the first address of HOST for its information (QUERY_SERVICE):\n"
     "host name, server identity, protocol version, address, port, active instances.\n"},
    {"scan", "scan-service", QsctlRunScan, 1, QSCTL_MAX_POSITIONALS, QSCTL_OPT_COMMON, "scan HOST|ADDRESS...",
     "Sends SCAN_SERVICE to every IPv4 address of each HOST (or to each ADDRESS) and\n"
     "lists the servers that answered: address, host name, identity, port, active\n"
     "instances; an address that does not answer is listed as \"no answer\".\n"},
    {"attach", NULL, QsctlRunInstanceRequest, 3, 3,
     QSCTL_OPT_PEER | QSCTL_OPT_INSTANCE_TIMEOUT | QSCTL_OPT_KEEPALIVE_INTERVAL, "attach HOST PVM-ID AM",
     "Attaches peer AM (1 or 2) to the PVM's instance. --instance-timeout MS is the\n"
     "keepalive timeout the server applies (default 10000), --keepalive-interval MS\n"
     "the interval the peer announces (default 1000).\n"},
    {"detach", NULL, QsctlRunInstanceRequest, 3, 3, QSCTL_OPT_PEER, "detach HOST PVM-ID AM",
     "Detaches peer AM from the PVM's instance; a holder keeps the quorum.\n"},
    {"keepalive", NULL, QsctlRunInstanceRequest, 3, 3, QSCTL_OPT_PEER, "keepalive HOST PVM-ID AM",
     "Sends one keepalive for peer AM and prints how long ago the server last heard\n"
     "from each peer.\n"},
    {"query-instance", NULL, QsctlRunInstanceRequest, 2, 2, QSCTL_OPT_COMMON, "query-instance HOST PVM-ID",
     "Asks what the server knows about the PVM: for each peer its last address,\n"
     "ONLINE or OFFLINE, HOLD or RELEASE. Changes nothing on the server.\n"},
    {"acquire", NULL, QsctlRunInstanceRequest, 3, 3, QSCTL_OPT_PEER | QSCTL_OPT_HEALTH | QSCTL_OPT_WINDOW,
     "acquire HOST PVM-ID AM",
     "Asks for the PVM's quorum as peer AM and waits for the decision. --health N\n"
     "(default 0; 0x for hexadecimal): the higher health wins a contest, AM1 on a\n"
     "tie. --window MS (default 2000): how long the server waits for the partner's\n"
     "request before it decides.\n"},
    {"release", NULL, QsctlRunInstanceRequest, 3, 3, QSCTL_OPT_PEER, "release HOST PVM-ID AM",
     "Gives the PVM's quorum back as peer AM.\n"},
    {"status", NULL, QsctlRunStatus, 2, QSCTL_MAX_POSITIONALS, QSCTL_OPT_COMMON, "status HOST PVM-ID...",
     "One row per PVM: each peer's address, ONLINE or OFFLINE, HOLD or RELEASE\n"
     "(from QUERY_INSTANCE). A PVM without an online peer shows \"-\" and NOT_ATTACHED:\n"
     "the server tells nothing about it, not even its holder. Changes nothing.\n"},
    {"am", NULL, QsctlRunAm, 3, 3,
     QSCTL_OPT_PEER | QSCTL_OPT_INSTANCE_TIMEOUT | QSCTL_OPT_KEEPALIVE_INTERVAL | QSCTL_OPT_HEALTH | QSCTL_OPT_WINDOW,
     "am HOST PVM-ID AM",
     "Simulates peer AM of the PVM: attaches, sends a keepalive every\n"
     "--keepalive-interval MS, attaches again when the server no longer knows it,\n"
     "and prints every change with a timestamp. Reads commands on standard input,\n"
     "one per line: Enter or \"a\" asks for the quorum (with --health and --window),\n"
     "\"r\" releases it, \"q\" (or the end of input, or Ctrl+C) detaches and quits.\n"
     "SIGUSR1 asks for the quorum too (not on Windows).\n"},
};

const char kCommonOptions[] =
    "Options (before or after the command):\n"
    "  --port N          the server's receive port (default 4557)\n"
    "  --timeout MS      the wait for each answer, 1 to 3600000 (default 500)\n"
    "  --retries N       retransmissions of an unanswered request, with the same\n"
    "                    sequence, 0 to 20 (default 2)\n"
    "  --json            one JSON object per answer, for scripts\n"
    "  --am-id TEXT      the peer's identity (default qsctl-am1 or qsctl-am2)\n"
    "  --help            this help, or a command's with qsctl COMMAND --help\n";

const char kArguments[] =
    "HOST is a host name or dotted IPv4 address; PVM-ID is GUID text, braces\n"
    "allowed; AM is 1 or 2.\n";

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  success: the answer's status was 0 (SUCCESS), or a server answered\n"
    "  1  no answer within the timeout, every retransmission included\n"
    "  2  bad arguments (unknown command or option, malformed PVM ID, port or number)\n"
    "  3  status 2 NOT_ATTACHED\n"
    "  4  status 5 QUORUM_DENIED\n"
    "  5  status 3 VOTING, 6 ALREADY_HOLDING or 7 NOT_HOLDING\n"
    "  6  status 1 INVALID_AM_NUMBER or 11 WRONG_SERVER\n"
    "  7  status 9 NO_RESOURCES or 10 TOO_MANY_INSTANCES\n"
    "  8  status 65534 INTERNAL_ERROR, or a status qsctl does not know\n"
    "  9  the host name did not resolve, or no UDP socket could be opened\n";

}  // namespace

const QSCTL_COMMAND* QsctlFindCommand(const char* name)
{
    for (const QSCTL_COMMAND& command : kCommands)
        if (std::strcmp(command.name, name) == 0 || (command.alias && std::strcmp(command.alias, name) == 0))
            return &command;
    return NULL;
}

void QsctlPrintHelp()
{
    std::printf("usage: qsctl [OPTIONS] COMMAND ARGUMENTS...\n"
                "Asks a Dorvane quorum server questions over UDP, as a peer of a PVM would.\n\n"
                "Commands:\n");
    for (const QSCTL_COMMAND& command : kCommands) std::printf("  qsctl %s\n", command.synopsis);
    std::printf("\n%s\n%s\n%s", kArguments, kCommonOptions, kExitCodes);
}

void QsctlPrintCommandHelp(const QSCTL_COMMAND* command)
{
    std::printf("usage: qsctl %s [OPTIONS]\n%s", command->synopsis, command->help);
    if (command->alias) std::printf("Also called %s.\n", command->alias);
    std::printf("\n%s\nOptions:\n", kArguments);
    for (unsigned bit = 1; bit <= QSCTL_OPT_AM_ID; bit <<= 1)
        if (command->options & bit) std::printf("  %s\n", QsctlOptionName(bit));
    std::printf("\n%s", kExitCodes);
}
