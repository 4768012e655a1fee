// attach, detach, keepalive, query-instance, acquire and release: one request
// about a PVM, as a peer would send it, and its answer.
#include <cstring>

#include "commands.h"
#include "exchange.h"
#include "output.h"
#include "request.h"

namespace {

uint32_t PacketTypeOf(const char* command)
{
    static const struct {
        const char* name;
        uint32_t type;
    } kTypes[] = {
        {"attach", ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE},   {"detach", ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE},
        {"keepalive", ZEL_K_QS_PACKET_TYPE_KEEPALIVE},       {"query-instance", ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE},
        {"acquire", ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM},    {"release", ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM},
    };
    for (const auto& entry : kTypes)
        if (std::strcmp(entry.name, command) == 0) return entry.type;
    return 0;
}

}  // namespace

int QsctlRunInstanceRequest(const QSCTL_OPTIONS* options)
{
    uint32_t type = PacketTypeOf(options->command);
    BOOL query = type == ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE;
    BYTE pvmId[QSS_PVM_ID_SIZE];
    DWORD amNumber = 0;
    if (!QsctlParsePvm(options->command, options->positionals[1], pvmId)) return QSCTL_EXIT_BAD_ARGUMENTS;
    if (!query && !QsctlParseAm(options->command, options->positionals[2], &amNumber))
        return QSCTL_EXIT_BAD_ARGUMENTS;

    QSCTL_SESSION session;
    int result = QsctlOpenInstanceSession(options->positionals[0], options, &session);
    if (result != QSCTL_EXIT_SUCCESS) return result;
    QSCTL_REQUEST request;
    QsctlBuildRequest(&session, options, type, pvmId, amNumber, &request);
    // The server answers ACQUIRE_QUORUM when the vote is decided, at the latest when the window closes.
    DWORD extraWait = type == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM ? options->windowMs : 0;
    QSCTL_REPLY reply;
    if (QsctlExchange(&session, &request, request.length, extraWait, &reply)) {
        QsctlPrintInstanceReply(options, &session, pvmId, amNumber, &reply);
        QSS_STATUS_REPLY status;
        std::memcpy(&status, reply.bytes, sizeof(status));
        result = QsctlExitForStatus(status.status);
    } else {
        QsctlPrintNoAnswer(options, session.where);
        result = QSCTL_EXIT_NO_ANSWER;
    }
    QsctlCloseSession(&session);
    WSACleanup();
    return result;
}
