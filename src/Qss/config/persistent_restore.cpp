// The restore at start: one record for every persisted quorum state.
#include <cstring>

#include "Qss/config/persistent_state.h"
#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"

namespace {

const int QSS_SCAN_INPUT_ENDED = -1; // as scanf's EOF: the name ended before the first number

BOOL qssIsScanSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int qssHexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One "%16I64x" after its white space: at most 16 characters of an optional
// sign, an optional "0x" and hexadecimal digits.
BOOL qssScanHex64(const char** cursor, ULONGLONG* value)
{
    const char* p = *cursor;
    int width = 16;
    BOOL negative = FALSE;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        --width;
    }
    BOOL digits = FALSE;
    if (width >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        width -= 2;
        digits = TRUE;
    }
    ULONGLONG number = 0;
    for (; width > 0 && qssHexDigitValue(*p) >= 0; ++p, --width) {
        number = (number << 4) | (ULONGLONG)qssHexDigitValue(*p);
        digits = TRUE;
    }
    if (!digits) return FALSE;
    *value = negative ? 0 - number : number;
    *cursor = p;
    return TRUE;
}

BOOL qssEqualIgnoringCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (ca != cb) return FALSE;
    }
    return *a == *b;
}

// The restore-failed event names the key, so that an operator knows which one to mend.
void qssLogRestoreFailed(const char* keyName)
{
    LPCSTR strings[1] = {keyName};
    Qss_LogEvent(QSS_EVENT_RESTORE_FAILED, 1, strings, QSS_PERSISTENT_SUBKEY_SIZE, keyName);
}

// An internal error of the restore, then the key that caused it.
void qssRejectKey(DWORD line, const char* keyName)
{
    Qss_LogInternalError("Qss_RetrieveParameters", line);
    qssLogRestoreFailed(keyName);
}

void qssLogInstanceRestored(const QSS_INSTANCE* record, const char* guid)
{
    DWORD holder = record->am[0].bHold == 1 ? 0 : 1;
    const QSS_AM_INFO* slot = &record->am[holder];
    char localText[QSS_PERSISTENT_SUBKEY_SIZE] = {};
    SYSTEMTIME localTime;
    if (SystemTimeToTzSpecificLocalTime(NULL, &record->systemTimeAcquired, &localTime)) {
        qssFormatAcquiredTime(&localTime, localText, sizeof(localText));
    } else {
        Qss_LogWin32Error("Qss_RetrieveParameters", 1420, "SystemTimeToTzSpecificLocalTime", (int)GetLastError(), 0);
    }
    Qss_TracePrintf(QSS_TRACE_WARNINGS, "Local Time Quorum Acquired: %s\n", localText);

    char holderNumber[4];
    StringCbPrintfA(holderNumber, sizeof(holderNumber), "%u", holder + 1);
    const BYTE* ip = reinterpret_cast<const BYTE*>(&slot->ipAddress);
    char address[16];
    StringCbPrintfA(address, sizeof(address), "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    LPCSTR strings[5] = {guid, holderNumber, address, slot->amId, localText};
    Qss_LogEvent(QSS_EVENT_INSTANCE_RESTORED, 5, strings, sizeof(QSS_INSTANCE), record);
}

enum QSS_RESTORE_OUTCOME { QSS_KEY_RESTORED, QSS_KEY_REMOVED, QSS_KEY_KEPT, QSS_KEY_FAILED };

// A first grant cut short was never answered: nobody holds, and the key goes.
// QSS_KEY_KEPT when it could not be deleted (the registry reported why); the
// next start tries again.
QSS_RESTORE_OUTCOME qssRemoveInterruptedGrant(const char* keyName, DWORD valuesWritten)
{
    if (Qss_RegDeletePersistentState(keyName) != ERROR_SUCCESS) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Error deleting interrupted grant of PVM key: %s", keyName);
        return QSS_KEY_KEPT;
    }
    char count[12];
    StringCbPrintfA(count, sizeof(count), "%u", valuesWritten);
    Qss_TracePrintf(QSS_TRACE_WARNINGS, "Removed interrupted grant of PVM key: %s (%s of 16 values written)",
                    keyName, count);
    LPCSTR strings[2] = {keyName, count};
    Qss_LogEvent(QSS_EVENT_INTERRUPTED_GRANT_REMOVED, 2, strings, 0, NULL);
    return QSS_KEY_REMOVED;
}

// Restores the subkey named keyName (a 256-byte buffer).
QSS_RESTORE_OUTCOME qssRestoreOne(const char* keyName)
{
    Qss_TracePrintf(QSS_TRACE_INFO, "Enumerated PVM ID key: %s", keyName);
    ULONGLONG high = 0;
    ULONGLONG low = 0;
    int converted = qssScanPersistentStateSubKey(keyName, &high, &low);
    if (converted != 2) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "_stscanf_s converted %d field(s)", converted);
        qssRejectKey(1215, keyName);
        return QSS_KEY_FAILED;
    }
    Qss_TracePrintf(QSS_TRACE_INFO, "Persistent state binary PVM uuid: %16llx%16llx", high, low);

    BYTE pvmId[QSS_PVM_ID_SIZE];
    for (int i = 0; i < 8; ++i) {
        pvmId[i] = (BYTE)(low >> (8 * i));
        pvmId[8 + i] = (BYTE)(high >> (8 * i));
    }
    char rebuilt[QSS_PERSISTENT_SUBKEY_SIZE];
    if (!Qss_PvmIdToPersistentStateSubKey(pvmId, sizeof(rebuilt), rebuilt)) {
        qssRejectKey(1237, keyName);
        return QSS_KEY_FAILED;
    }
    Qss_TracePrintf(QSS_TRACE_INFO, "Persistent state PVM subkey: %s", rebuilt);
    char guid[QSS_GUID_STRING_SIZE] = {};
    Qss_PvmIdToGuidString(pvmId, sizeof(guid), guid);
    Qss_TracePrintf(QSS_TRACE_INFO, "PVM UUID: {%s}", guid);

    // Only the canonical form, in either case, names a PVM.
    if (!qssEqualIgnoringCase(keyName, rebuilt)) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Incorrect PVM ID conversion: %s != %s", keyName, rebuilt);
        qssRejectKey(1278, keyName);
        return QSS_KEY_FAILED;
    }
    DWORD valuesWritten = 0;
    if (qssIsInterruptedFirstGrant(keyName, &valuesWritten)) return qssRemoveInterruptedGrant(keyName, valuesWritten);
    if (qssFindInstance(pvmId) != NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Duplicate instance found for PVM key: %s", keyName);
        qssRejectKey(1302, keyName);
        return QSS_KEY_FAILED;
    }
    DWORD status = 0;
    QSS_INSTANCE* record = qssNewInstance(pvmId, &status);
    if (record == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Error allocating Instance memory for PVM key: %s", keyName);
        qssLogRestoreFailed(keyName);
        return QSS_KEY_FAILED;
    }
    // The record is read under the key's own name: the one that exists.
    if (!qssGetPersistentState(record, keyName)) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Error reading persistent data for PVM key: %s", keyName);
        qssLogRestoreFailed(keyName);
        return QSS_KEY_FAILED;
    }
    record->bStateWritten = 1;
    // A holder's record never ages.
    qssReviewInstanceAgeing(record);
    Qss_TracePrintf(QSS_TRACE_INFO, "Restored persistent data for PVM key: %s", keyName);
    qssLogInstanceRestored(record, guid);
    return QSS_KEY_RESTORED;
}

}  // namespace

int qssScanPersistentStateSubKey(const char* name, ULONGLONG* high, ULONGLONG* low)
{
    if (*name == '\0') return QSS_SCAN_INPUT_ENDED;
    if (*name != '{') return 0;
    const char* p = name + 1;
    while (qssIsScanSpace(*p)) ++p;
    if (*p == '\0') return QSS_SCAN_INPUT_ENDED;
    if (!qssScanHex64(&p, high)) return 0;
    while (qssIsScanSpace(*p)) ++p;
    if (!qssScanHex64(&p, low)) return 1;
    return 2;
}

BOOL qssRestorePersistentStates(void)
{
    // Nothing else runs yet; the lock is what the table's functions expect.
    EnterCriticalSection(&qssInstanceLock);
    BOOL result = TRUE;
    for (DWORD index = 0;;) {
        char keyName[QSS_PERSISTENT_SUBKEY_SIZE] = {};
        DWORD length = sizeof(keyName);
        LONG status = Qss_RegEnumPersistentState(index, keyName, &length);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Error (%d) enumerating persistent data at index %u", (int)status,
                            index);
            char indexText[16];
            StringCbPrintfA(indexText, sizeof(indexText), "%u", index);
            LPCSTR strings[1] = {indexText};
            Qss_LogEvent(QSS_EVENT_RESTORE_ENUMERATION_FAILED, 1, strings, 0, NULL);
            result = FALSE;
            break;
        }
        QSS_RESTORE_OUTCOME outcome = qssRestoreOne(keyName);
        if (outcome == QSS_KEY_FAILED) {
            result = FALSE;
            break;
        }
        // A removed key's successors move up to its index.
        if (outcome != QSS_KEY_REMOVED) ++index;
    }
    LeaveCriticalSection(&qssInstanceLock);
    return result;
}
