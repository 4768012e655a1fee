#include "request.h"

#include "output.h"
#include "qsquorum.h"

void QsctlAmId(const QSCTL_OPTIONS* options, DWORD amNumber, char* amId, size_t size)
{
    if (options->amId[0]) {
        StringCbCopyA(amId, size, options->amId);
    } else {
        StringCbPrintfA(amId, size, "qsctl-am%u", amNumber);
    }
}

void QsctlBuildRequest(QSCTL_SESSION* session, const QSCTL_OPTIONS* options, uint32_t packetType,
                       const BYTE* pvmId, DWORD amNumber, QSCTL_REQUEST* request)
{
    ULONGLONG sequence = QsctlNewSequence(session);
    char amId[QSCTL_AM_ID_SIZE];
    QsctlAmId(options, amNumber, amId, sizeof(amId));
    switch (packetType) {
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE:
        QsBuildAttachInstance(&request->attach, sequence, pvmId, amNumber, options->keepaliveIntervalMs,
                              options->instanceTimeoutMs, &session->target, amId);
        request->length = sizeof(request->attach);
        break;
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM:
        QsBuildAcquireQuorum(&request->acquire, sequence, pvmId, amNumber, options->windowMs, options->health,
                             &session->target, amId);
        request->length = sizeof(request->acquire);
        break;
    case ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE:
        QsBuildQueryInstance(&request->query, sequence, pvmId, &session->target);
        request->length = sizeof(request->query);
        break;
    default:
        QsBuildAmRequest(&request->am, packetType, sequence, pvmId, amNumber, &session->target, amId);
        request->length = sizeof(request->am);
        break;
    }
}

int QsctlOpenInstanceSession(const char* host, const QSCTL_OPTIONS* options, QSCTL_SESSION* session)
{
    if (!QsctlStartWinsock()) return QSCTL_EXIT_LOCAL_FAILURE;
    int result = QsctlConnect(host, options, session);
    if (result != QSCTL_EXIT_SUCCESS) {
        WSACleanup();
        return result;
    }
    if (!QsctlQueryService(session, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE)) {
        QsctlPrintNoAnswer(options, session->where);
        QsctlCloseSession(session);
        WSACleanup();
        return QSCTL_EXIT_NO_ANSWER;
    }
    return QSCTL_EXIT_SUCCESS;
}
