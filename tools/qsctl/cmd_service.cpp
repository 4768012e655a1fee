// query-service and scan: who is the server, and which addresses answer.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "exchange.h"
#include "output.h"

namespace {

constexpr int QSCTL_MAX_SCAN_ADDRESSES = 64;
constexpr int QSCTL_MAX_ADDRESSES_PER_HOST = 16;

void PrintScanHeading()
{
    std::printf("%-21s  %-16s  %-36s  %5s  %s\n", "ADDRESS", "HOST NAME", "SERVER IDENTITY", "PORT", "ACTIVE");
}

void PrintScanRow(const char* where, const QSS_SERVICE_REPLY* service)
{
    if (!service) {
        std::printf("%-21s  no answer\n", where);
        return;
    }
    char hostName[69];
    char serverId[41];
    QsctlCopyField(hostName, sizeof(hostName), service->serverInfo.hostName, sizeof(service->serverInfo.hostName));
    QsctlCopyField(serverId, sizeof(serverId), service->serverInfo.serverId, sizeof(service->serverInfo.serverId));
    std::printf("%-21s  %-16s  %-36s  %5u  %u\n", where, hostName, serverId, (unsigned)service->serverInfo.port,
                (unsigned)service->serverInfo.activeInstanceCount);
}

}  // namespace

int QsctlRunQueryService(const QSCTL_OPTIONS* options)
{
    if (!QsctlStartWinsock()) return QSCTL_EXIT_LOCAL_FAILURE;
    QSCTL_SESSION session;
    int result = QsctlConnect(options->positionals[0], options, &session);
    if (result == QSCTL_EXIT_SUCCESS) {
        BOOL answered = QsctlQueryService(&session, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE);
        QsctlPrintService(options, session.where, answered ? &session.service : NULL);
        result = answered ? QSCTL_EXIT_SUCCESS : QSCTL_EXIT_NO_ANSWER;
        QsctlCloseSession(&session);
    }
    WSACleanup();
    return result;
}

int QsctlRunScan(const QSCTL_OPTIONS* options)
{
    SOCKADDR_IN servers[QSCTL_MAX_SCAN_ADDRESSES];
    int count = 0;
    if (!QsctlStartWinsock()) return QSCTL_EXIT_LOCAL_FAILURE;
    for (int i = 0; i < options->positionalCount; ++i) {
        SOCKADDR_IN found[QSCTL_MAX_ADDRESSES_PER_HOST];
        int n = QsResolve(options->positionals[i], options->port, found, QSCTL_MAX_ADDRESSES_PER_HOST);
        if (n <= 0) {
            std::fprintf(stderr, "qsctl: cannot resolve %s\n", options->positionals[i]);
            continue;
        }
        for (int j = 0; j < n && count < QSCTL_MAX_SCAN_ADDRESSES; ++j) {
            BOOL seen = FALSE;
            for (int k = 0; k < count; ++k) seen |= servers[k].sin_addr.s_addr == found[j].sin_addr.s_addr;
            if (!seen) servers[count++] = found[j];
        }
    }
    if (count == 0) {
        WSACleanup();
        return QSCTL_EXIT_LOCAL_FAILURE;
    }
    if (!options->json) PrintScanHeading();
    int answered = 0;
    int result = QSCTL_EXIT_NO_ANSWER;
    for (int i = 0; i < count; ++i) {
        QSCTL_SESSION session;
        if (!QsctlOpenSession(&servers[i], options, &session)) {
            result = QSCTL_EXIT_LOCAL_FAILURE;
            break;
        }
        BOOL ok = QsctlQueryService(&session, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE);
        if (options->json) {
            QsctlPrintService(options, session.where, ok ? &session.service : NULL);
        } else {
            PrintScanRow(session.where, ok ? &session.service : NULL);
        }
        answered += ok ? 1 : 0;
        QsctlCloseSession(&session);
    }
    WSACleanup();
    return answered > 0 ? QSCTL_EXIT_SUCCESS : result;
}
