#include "Qss/net/peer_admission.h"

#include "Qss/diag/diag.h"

QSS_PEER_FILTER qssAllowedPeers;
DWORD qssRefusalReportInterval = QSS_DEFAULT_REFUSAL_REPORT_INTERVAL;

namespace {

// The server thread's own: the refusals since the last warning.
DWORD qssUnreportedRefusals;
uint32_t qssLastRefusedAddress; // as in s_addr
BOOL qssRefusalReported;
DWORD qssLastRefusalReportTick;

void qssWriteRefusalReport(void)
{
    const BYTE* ip = reinterpret_cast<const BYTE*>(&qssLastRefusedAddress);
    char address[16];
    char count[12];
    StringCbPrintfA(address, sizeof(address), "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    StringCbPrintfA(count, sizeof(count), "%u", qssUnreportedRefusals);
    LPCSTR strings[2] = {address, count};
    Qss_LogEvent(QSS_EVENT_PEER_REFUSED, 2, strings, 0, NULL);
    qssUnreportedRefusals = 0;
    qssRefusalReported = TRUE;
    qssLastRefusalReportTick = GetTickCount();
}

BOOL qssRefusalReportDue(void)
{
    return !qssRefusalReported || GetTickCount() - qssLastRefusalReportTick >= qssRefusalReportInterval;
}

}  // namespace

void qssSetAllowedPeers(QSS_PEER_FILTER* filter)
{
    qssFreePeerFilter(&qssAllowedPeers);
    qssAllowedPeers = *filter;
    *filter = QSS_PEER_FILTER{NULL, 0, 0};
    qssUnreportedRefusals = 0;
    qssRefusalReported = FALSE;
}

BOOL qssAdmitSource(const SOCKADDR_IN* source)
{
    if (qssAllowedPeers.count == 0) return TRUE;
    if (qssPeerFilterContains(&qssAllowedPeers, ntohl(source->sin_addr.s_addr))) return TRUE;
    Qss_IncrementStat(&qssGuardStats.refusedDatagrams);
    qssLastRefusedAddress = source->sin_addr.s_addr;
    ++qssUnreportedRefusals;
    if (qssRefusalReportDue()) qssWriteRefusalReport();
    return FALSE;
}

void qssReportRefusedPeers(BOOL evenWithinInterval)
{
    if (qssUnreportedRefusals > 0 && (evenWithinInterval || qssRefusalReportDue())) qssWriteRefusalReport();
}
