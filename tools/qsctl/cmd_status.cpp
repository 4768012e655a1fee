// status: one row per PVM with both peers' address, ONLINE or OFFLINE, and
// HOLD or RELEASE, from QUERY_INSTANCE.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "exchange.h"
#include "output.h"
#include "request.h"

namespace {

void FormatPeer(uint32_t address, uint16_t port, char* text, size_t size)
{
    char ip[16];
    QsctlFormatIp(address, ip, sizeof(ip));
    StringCbPrintfA(text, size, "%s:%u", ip, (unsigned)port);
}

void PrintHeading()
{
    std::printf("%-36s  %-21s  %-7s  %-7s  %-21s  %-7s  %-7s  %s\n", "PVM", "AM1 ADDRESS", "AM1", "QUORUM",
                "AM2 ADDRESS", "AM2", "QUORUM", "STATUS");
}

void PrintRow(const char* pvm, const QSS_QUERY_INSTANCE_REPLY* reply)
{
    if (!reply) {
        std::printf("%-36s  %-21s  %-7s  %-7s  %-21s  %-7s  %-7s  %s\n", pvm, "-", "-", "-", "-", "-", "-",
                    "NO ANSWER");
        return;
    }
    if (!reply->instanceKnown) {
        // The server tells nothing about a PVM without an online peer, not even its holder.
        std::printf("%-36s  %-21s  %-7s  %-7s  %-21s  %-7s  %-7s  %s\n", pvm, "-", "-", "-", "-", "-", "-",
                    QsStatusName(reply->status));
        return;
    }
    char am1[32];
    char am2[32];
    FormatPeer(reply->am1Address, reply->am1Port, am1, sizeof(am1));
    FormatPeer(reply->am2Address, reply->am2Port, am2, sizeof(am2));
    std::printf("%-36s  %-21s  %-7s  %-7s  %-21s  %-7s  %-7s  %s\n", pvm, am1, reply->am1Online ? "ONLINE" : "OFFLINE",
                reply->am1Hold ? "HOLD" : "RELEASE", am2, reply->am2Online ? "ONLINE" : "OFFLINE",
                reply->am2Hold ? "HOLD" : "RELEASE", QsStatusName(reply->status));
}

}  // namespace

int QsctlRunStatus(const QSCTL_OPTIONS* options)
{
    BYTE pvmIds[QSCTL_MAX_POSITIONALS][QSS_PVM_ID_SIZE];
    for (int i = 1; i < options->positionalCount; ++i)
        if (!QsctlParsePvm(options->command, options->positionals[i], pvmIds[i])) return QSCTL_EXIT_BAD_ARGUMENTS;

    QSCTL_SESSION session;
    int result = QsctlOpenInstanceSession(options->positionals[0], options, &session);
    if (result != QSCTL_EXIT_SUCCESS) return result;
    if (!options->json) PrintHeading();
    for (int i = 1; i < options->positionalCount; ++i) {
        char pvm[40];
        QsctlFormatPvm(pvmIds[i], pvm, sizeof(pvm));
        QSCTL_REQUEST request;
        QsctlBuildRequest(&session, options, ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE, pvmIds[i], 0, &request);
        QSCTL_REPLY reply;
        BOOL answered = QsctlExchange(&session, &request, request.length, 0, &reply);
        QSS_QUERY_INSTANCE_REPLY query;
        if (answered) std::memcpy(&query, reply.bytes, sizeof(query));
        if (options->json) {
            if (answered) {
                QsctlPrintInstanceReply(options, &session, pvmIds[i], 0, &reply);
            } else {
                QsctlPrintNoAnswer(options, session.where);
            }
        } else {
            PrintRow(pvm, answered ? &query : NULL);
        }
        // A PVM without an online peer is an answer too; anything else decides the exit code.
        int rowResult = !answered ? QSCTL_EXIT_NO_ANSWER
                        : query.status == ZEL_K_QS_STATUS_NOT_ATTACHED ? QSCTL_EXIT_SUCCESS
                                                                       : QsctlExitForStatus(query.status);
        if (result == QSCTL_EXIT_SUCCESS) result = rowResult;
    }
    QsctlCloseSession(&session);
    WSACleanup();
    return result;
}
