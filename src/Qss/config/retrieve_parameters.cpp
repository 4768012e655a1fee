// What the server learns at every start before it opens a socket: its host
// name, identity and tuning, then the persisted quorum holders, then its
// receive sockets.
#include "Qss/config/identity.h"
#include "Qss/config/parameters.h"
#include "Qss/config/persistent_state.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "Qss/net/socket_set.h"

namespace {

// Any stored number is used as it is; a value that cannot be read gives the default.
void qssReadTuningValue(const char* valueName, DWORD defaultValue, DWORD* value)
{
    DWORD stored = 0;
    *value = Qss_RegGetDWORD(valueName, FALSE, &stored) ? stored : defaultValue;
}

}  // namespace

BOOL Qss_RetrieveParameters(void)
{
    DWORD size = sizeof(qssServerInfo.hostName);
    if (!GetComputerNameA(qssServerInfo.hostName, &size)) {
        Qss_LogWin32Error("Qss_RetrieveParameters", 1086, "GetComputerNameA", (int)GetLastError(), 0);
        return FALSE;
    }
    if (!qssGetMyKey()) return FALSE;
    qssReadTuningValue("RescanIpAddressInterval", QSS_DEFAULT_RESCAN_INTERVAL, &qssRescanInterval);
    qssReadTuningValue("InstanceRetainTimeAfterDetach", QSS_DEFAULT_INSTANCE_RETAIN_TIME, &qssInstanceRetainTime);
    qssReadTuningValue("MaxInstanceNum", QSS_DEFAULT_MAX_INSTANCE_NUM, &qssMaxInstanceNum);
    // Before anything is restored or bound: a bad value fails the start having changed nothing.
    if (!qssReadGuardParameters()) return FALSE;

    qssServerInfo.componentInfo = qssComponentInfo;
    qssServerInfo.protocolMinor = QSS_PROTOCOL_MINOR;
    qssServerInfo.protocolMajor = QSS_PROTOCOL_MAJOR;

    Qss_TracePrintf(QSS_TRACE_INFO, "Hostname: %s", qssServerInfo.hostName);
    Qss_TracePrintf(QSS_TRACE_INFO, "Key: %s", qssServerInfo.serverId);
    Qss_TracePrintf(QSS_TRACE_INFO, "Protocol rev: 0x%x",
                    ((DWORD)qssServerInfo.protocolMajor << 16) | qssServerInfo.protocolMinor);
    Qss_TracePrintf(QSS_TRACE_INFO, "Rescan Interval: %u msec", qssRescanInterval);
    Qss_TracePrintf(QSS_TRACE_INFO, "Instance Retain Time: %u msec (%u seconds)", qssInstanceRetainTime,
                    qssInstanceRetainTime / 1000);
    Qss_TracePrintf(QSS_TRACE_INFO, "Max Instances: %u", qssMaxInstanceNum);

    if (!qssRestorePersistentStates()) return FALSE;
    return qssGetMyAddr();
}
