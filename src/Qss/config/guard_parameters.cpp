// The optional values that narrow what the server listens to: AllowedPeers
// (which source addresses) and RequireIncreasingSequences (which sequences).
// Either, when present but not valid, fails the start: a mistyped list must
// neither let everyone in nor lock everyone out without a word.
#include <cstring>

#include "Qss/config/parameters.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/peer_admission.h"

namespace {

void qssReportInvalidParameter(const char* valueName, const char* problem)
{
    Qss_TracePrintf(QSS_TRACE_ERRORS, "Invalid %s in registry: %s", valueName, problem);
    LPCSTR strings[2] = {valueName, problem};
    Qss_LogEvent(QSS_EVENT_PARAMETER_INVALID, 2, strings, 0, NULL);
}

// Reads a value that may be absent: FALSE after a report when it cannot be
// read; *data NULL when it is absent.
BOOL qssReadOptionalValue(const char* valueName, DWORD* type, BYTE** data, DWORD* size)
{
    LONG status = Qss_RegGetParameterData(valueName, type, data, size);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return TRUE;
    char problem[64];
    StringCbPrintfA(problem, sizeof(problem), "it cannot be read (error %d)", (int)status);
    qssReportInvalidParameter(valueName, problem);
    return FALSE;
}

BOOL qssReadAllowedPeers(void)
{
    static const char name[] = "AllowedPeers";
    DWORD type = REG_NONE;
    BYTE* data = NULL;
    DWORD size = 0;
    if (!qssReadOptionalValue(name, &type, &data, &size)) return FALSE;
    QSS_PEER_FILTER filter = {NULL, 0, 0};
    BOOL ok = TRUE;
    if (data != NULL && type != REG_MULTI_SZ) {
        char problem[64];
        StringCbPrintfA(problem, sizeof(problem), "its type is %u, not REG_MULTI_SZ (7)", (unsigned)type);
        qssReportInvalidParameter(name, problem);
        ok = FALSE;
    } else if (data != NULL) {
        char entry[QSS_PEER_ENTRY_TEXT_SIZE];
        ok = qssBuildPeerFilter((const char*)data, size, &filter, entry, sizeof(entry));
        if (!ok) {
            char problem[QSS_PEER_ENTRY_TEXT_SIZE + 64];
            StringCbPrintfA(problem, sizeof(problem), "the entry \"%s\" is not an IPv4 address or CIDR block", entry);
            qssReportInvalidParameter(name, problem);
        }
    }
    if (data != NULL) HeapFree(GetProcessHeap(), 0, data);
    if (!ok) return FALSE;
    if (filter.count == 0) {
        Qss_TracePrintf(QSS_TRACE_INFO, "Allowed Peers: every address");
    } else {
        Qss_TracePrintf(QSS_TRACE_INFO, "Allowed Peers: %u entries in %u address ranges", filter.entries, filter.count);
    }
    qssSetAllowedPeers(&filter);
    return TRUE;
}

BOOL qssReadRequireIncreasingSequences(void)
{
    static const char name[] = "RequireIncreasingSequences";
    DWORD type = REG_NONE;
    BYTE* data = NULL;
    DWORD size = 0;
    if (!qssReadOptionalValue(name, &type, &data, &size)) return FALSE;
    DWORD value = 0;
    char problem[64] = "";
    if (data != NULL && (type != REG_DWORD || size != sizeof(DWORD))) {
        StringCbPrintfA(problem, sizeof(problem), "its type is %u, not REG_DWORD (4)", (unsigned)type);
    } else if (data != NULL) {
        memcpy(&value, data, sizeof(value));
        if (value > 1) StringCbPrintfA(problem, sizeof(problem), "%u is neither 0 nor 1", (unsigned)value);
    }
    if (data != NULL) HeapFree(GetProcessHeap(), 0, data);
    if (problem[0] != '\0') {
        qssReportInvalidParameter(name, problem);
        return FALSE;
    }
    qssRequireIncreasingSequences = value;
    Qss_TracePrintf(QSS_TRACE_INFO, "Require Increasing Sequences: %u", qssRequireIncreasingSequences);
    return TRUE;
}

}  // namespace

BOOL qssReadGuardParameters(void)
{
    return qssReadAllowedPeers() && qssReadRequireIncreasingSequences();
}
