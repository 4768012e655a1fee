// Writing and reading one PVM's persisted quorum state.
#include "Qss/config/persistent_state.h"

#include <cstring>

#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"

namespace {

// The values of one AM, and the lines that report a failure to write or read each.
struct QSS_AM_STATE_VALUES {
    const char* id;
    const char* addressText;
    const char* address;
    const char* port;
    const char* keepaliveInterval;
    DWORD writeLines[5]; // in the order above
    DWORD readLines[4];  // the same without addressText, which is never read
};

const QSS_AM_STATE_VALUES qssAmStateValues[2] = {
    {"AM1 Id", "AM1 IP Address Sz", "AM1 IP Address Dw", "AM1 Port", "AM1 Keepalive Interval",
     {1974, 1989, 2003, 2017, 2031}, {1601, 1615, 1629, 1647}},
    {"AM2 Id", "AM2 IP Address Sz", "AM2 IP Address Dw", "AM2 Port", "AM2 Keepalive Interval",
     {2048, 2063, 2077, 2091, 2105}, {1664, 1678, 1692, 1710}},
};

const DWORD QSS_TIME_ACQUIRED_SIZE = 20;
const DWORD QSS_ADDRESS_TEXT_SIZE = 22; // "255.255.255.255:65535" and the terminator
// The sixteen values in the order qssSetPersistentState writes them.
const char* const qssValueWriteOrder[] = {
    "Revision", "Quorum Holder", "Protocol Revision", "Protected VM Id", "Time Acquired", "System Time Acquired",
    "AM1 Id", "AM1 IP Address Sz", "AM1 IP Address Dw", "AM1 Port", "AM1 Keepalive Interval",
    "AM2 Id", "AM2 IP Address Sz", "AM2 IP Address Dw", "AM2 Port", "AM2 Keepalive Interval",
};
const DWORD QSS_VALUE_COUNT = sizeof(qssValueWriteOrder) / sizeof(qssValueWriteOrder[0]);
static_assert(QSS_VALUE_COUNT == 16, "a grant writes sixteen values");

// A failed write never stops the sequence; counts says whether it fails the result.
void qssCheckWrite(LONG status, DWORD line, const char* valueName, BOOL counts, BOOL* result)
{
    if (status == ERROR_SUCCESS) return;
    Qss_TracePrintf(QSS_TRACE_ERRORS, "qssSetPersistentState (%u): Error writing %s to registry.", line, valueName);
    if (counts) *result = FALSE;
}

// Every value read here counts but "Revision" and "System Time Acquired".
void qssCheckRead(LONG status, DWORD line, const char* valueName, BOOL counts, BOOL* result)
{
    if (status == ERROR_SUCCESS) return;
    Qss_TracePrintf(QSS_TRACE_ERRORS, "qssGetPersistentState (%u): Error reading %s from registry.", line, valueName);
    if (counts) *result = FALSE;
}

void qssWriteAmState(const char* subKey, const QSS_PERSISTENT_AM_STATE* slot, const QSS_AM_STATE_VALUES* names,
                     HANDLE transaction, BOOL* result)
{
    const BYTE* ip = reinterpret_cast<const BYTE*>(&slot->ipAddress);
    char addressText[QSS_ADDRESS_TEXT_SIZE];
    StringCbPrintfA(addressText, sizeof(addressText), "%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3],
                    (unsigned)slot->port);
    qssCheckWrite(Qss_RegSetPersistentStateSTRING(subKey, names->id, slot->amId, QSS_AM_ID_SIZE, transaction),
                  names->writeLines[0], names->id, TRUE, result);
    qssCheckWrite(
        Qss_RegSetPersistentStateSTRING(subKey, names->addressText, addressText, sizeof(addressText), transaction),
        names->writeLines[1], names->addressText, FALSE, result);
    // The address bytes in network order are the value's four data bytes.
    qssCheckWrite(Qss_RegSetPersistentStateDWORD(subKey, names->address, slot->ipAddress, transaction),
                  names->writeLines[2], names->address, TRUE, result);
    qssCheckWrite(Qss_RegSetPersistentStateDWORD(subKey, names->port, slot->port, transaction), names->writeLines[3],
                  names->port, TRUE, result);
    qssCheckWrite(
        Qss_RegSetPersistentStateDWORD(subKey, names->keepaliveInterval, slot->keepaliveInterval, transaction),
        names->writeLines[4], names->keepaliveInterval, TRUE, result);
}

void qssReadAmState(const char* subKey, QSS_AM_INFO* slot, const QSS_AM_STATE_VALUES* names, BOOL* result)
{
    DWORD address = 0;
    DWORD port = 0;
    qssCheckRead(Qss_RegGetPersistentStateSTRING(subKey, names->id, slot->amId, QSS_AM_ID_SIZE),
                 names->readLines[0], names->id, TRUE, result);
    qssCheckRead(Qss_RegGetPersistentStateDWORD(subKey, names->address, &address), names->readLines[1],
                 names->address, TRUE, result);
    slot->ipAddress = address;
    qssCheckRead(Qss_RegGetPersistentStateDWORD(subKey, names->port, &port), names->readLines[2], names->port, TRUE,
                 result);
    slot->port = (WORD)(port & 0xFFFF);
    qssCheckRead(Qss_RegGetPersistentStateDWORD(subKey, names->keepaliveInterval, &slot->keepaliveInterval),
                 names->readLines[3], names->keepaliveInterval, TRUE, result);
}

}  // namespace

void qssFormatAcquiredTime(const SYSTEMTIME* time, char* text, size_t size)
{
    StringCbPrintfA(text, size, "%04u-%02u-%02u %02u:%02u:%02u", (unsigned)time->wYear, (unsigned)time->wMonth,
                    (unsigned)time->wDay, (unsigned)time->wHour, (unsigned)time->wMinute, (unsigned)time->wSecond);
}

void qssCapturePersistentState(const QSS_INSTANCE* record, QSS_PERSISTENT_STATE* state)
{
    memcpy(state->pvmId, record->pvmId, sizeof(state->pvmId));
    state->holder = record->am[0].bHold ? 0 : 1;
    state->protocolRevision = record->protocolRevision;
    state->systemTimeAcquired = record->systemTimeAcquired;
    for (int i = 0; i < 2; ++i) {
        memcpy(state->am[i].amId, record->am[i].amId, QSS_AM_ID_SIZE);
        state->am[i].ipAddress = record->am[i].ipAddress;
        state->am[i].port = record->am[i].port;
        state->am[i].keepaliveInterval = record->am[i].keepaliveInterval;
    }
}

BOOL qssWritePersistentState(const QSS_PERSISTENT_STATE* state, HANDLE transaction)
{
    char subKey[QSS_PERSISTENT_SUBKEY_SIZE];
    if (!Qss_PvmIdToPersistentStateSubKey(state->pvmId, sizeof(subKey), subKey)) {
        Qss_LogInternalError("qssSetPersistentState", 1802);
        return FALSE;
    }
    Qss_TracePrintf(QSS_TRACE_INFO, "Adding persistent state information for PVM subkey: %s", subKey);

    SYSTEMTIME localTime;
    if (!SystemTimeToTzSpecificLocalTime(NULL, &state->systemTimeAcquired, &localTime)) GetLocalTime(&localTime);
    char timeAcquired[QSS_TIME_ACQUIRED_SIZE];
    qssFormatAcquiredTime(&localTime, timeAcquired, sizeof(timeAcquired));
    char guid[QSS_GUID_STRING_SIZE] = {};
    Qss_PvmIdToGuidString(state->pvmId, sizeof(guid), guid);

    BOOL result = TRUE;
    qssCheckWrite(Qss_RegSetPersistentStateDWORD(subKey, "Revision", QSS_PERSISTENT_STATE_REVISION, transaction),
                  1873, "Revision", TRUE, &result);
    qssCheckWrite(Qss_RegSetPersistentStateDWORD(subKey, "Quorum Holder", state->holder, transaction), 1889,
                  "Quorum Holder", TRUE, &result);
    qssCheckWrite(Qss_RegSetPersistentStateDWORD(subKey, "Protocol Revision", state->protocolRevision, transaction),
                  1903, "Protocol Revision", TRUE, &result);
    qssCheckWrite(Qss_RegSetPersistentStateSTRING(subKey, "Protected VM Id", guid, sizeof(guid), transaction), 1920,
                  "Protected VM Id", FALSE, &result);
    qssCheckWrite(
        Qss_RegSetPersistentStateSTRING(subKey, "Time Acquired", timeAcquired, sizeof(timeAcquired), transaction), 1937,
        "Time Acquired", FALSE, &result);
    qssCheckWrite(Qss_RegSetPersistentStateBINARY(subKey, "System Time Acquired", &state->systemTimeAcquired,
                                                  sizeof(SYSTEMTIME), transaction),
                  1956, "System Time Acquired", FALSE, &result);
    for (int i = 0; i < 2; ++i) qssWriteAmState(subKey, &state->am[i], &qssAmStateValues[i], transaction, &result);

    return result;
}

BOOL qssIsInterruptedFirstGrant(const char* subKey, DWORD* valuesWritten)
{
    *valuesWritten = 0;
    // A whole grant ends with its last value: one look settles the usual case.
    if (Qss_RegProbePersistentStateValue(subKey, qssValueWriteOrder[QSS_VALUE_COUNT - 1]) != ERROR_FILE_NOT_FOUND) {
        return FALSE;
    }
    DWORD written = 0;
    while (written < QSS_VALUE_COUNT - 1) {
        LONG status = Qss_RegProbePersistentStateValue(subKey, qssValueWriteOrder[written]);
        if (status == ERROR_FILE_NOT_FOUND) break;
        if (status != ERROR_SUCCESS) return FALSE;
        ++written;
    }
    for (DWORD later = written + 1; later < QSS_VALUE_COUNT - 1; ++later) {
        if (Qss_RegProbePersistentStateValue(subKey, qssValueWriteOrder[later]) != ERROR_FILE_NOT_FOUND) return FALSE;
    }
    *valuesWritten = written;
    return TRUE;
}

BOOL qssGetPersistentState(QSS_INSTANCE* record, const char* subKey)
{
    BOOL result = TRUE;
    DWORD revision = 0;
    qssCheckRead(Qss_RegGetPersistentStateDWORD(subKey, "Revision", &revision), 1517, "Revision", FALSE, &result);
    qssCheckRead(Qss_RegGetPersistentStateBINARY(subKey, "System Time Acquired", &record->systemTimeAcquired,
                                                 sizeof(SYSTEMTIME)),
                 1537, "System Time Acquired", FALSE, &result);
    DWORD holder = 0;
    LONG status = Qss_RegGetPersistentStateDWORD(subKey, "Quorum Holder", &holder);
    qssCheckRead(status, 1551, "Quorum Holder", TRUE, &result);
    if (status == ERROR_SUCCESS) {
        if (holder <= 1) {
            record->am[holder].bHold = 1;
        } else {
            Qss_TracePrintf(QSS_TRACE_ERRORS, "qssGetPersistentState (%u): Invalid Quorum Holder data value (%d).",
                            1568u, (int)holder);
            result = FALSE;
        }
    }
    qssCheckRead(Qss_RegGetPersistentStateDWORD(subKey, "Protocol Revision", &record->protocolRevision), 1584,
                 "Protocol Revision", TRUE, &result);
    for (int i = 0; i < 2; ++i) qssReadAmState(subKey, &record->am[i], &qssAmStateValues[i], &result);
    return result;
}
