#include "Qss/config/registry_store.h"

#include <cstring>

#include "Qss/diag/diag.h"

namespace {

// Where one Persistent States function reports each of its failing calls.
struct QSS_STATE_REPORT {
    const char* function;
    DWORD openParentLine;
    DWORD openSubKeyLine;
    const char* operation;
    DWORD operationLine;
    DWORD closeParentLine;
    DWORD closeSubKeyLine;
};

void qssReportRegFailure(const char* function, DWORD line, const char* call, LONG status)
{
    Qss_LogWin32Error(function, line, call, (int)status, 0);
}

void qssCloseReported(HKEY key, const char* function, DWORD line)
{
    LONG status = RegCloseKey(key);
    if (status != ERROR_SUCCESS) qssReportRegFailure(function, line, "RegCloseKey", status);
}

// Data read back may lack its terminator (the registry does not enforce one):
// the text handed on always ends within the buffer, cut if it must be.
void qssTerminateQueriedText(char* buffer, DWORD bufferSize, DWORD size)
{
    if (size < bufferSize) {
        buffer[size] = '\0';
    } else if (bufferSize > 0) {
        buffer[bufferSize - 1] = '\0';
    }
}

void qssClearText(char* buffer, DWORD bufferSize)
{
    if (buffer && bufferSize > 0) buffer[0] = '\0';
}

// A key made or opened for writing, in the transaction when there is one.
LONG qssCreateStateKey(HKEY base, const char* name, REGSAM access, HANDLE transaction, HKEY* key)
{
    if (transaction != NULL) {
        LONG status = RegCreateKeyTransactedA(base, name, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL, key, NULL,
                                              transaction, NULL);
        // A registry without transactions (Wine's) takes each value on its own.
        if (status != ERROR_CALL_NOT_IMPLEMENTED) return status;
    }
    return RegCreateKeyExA(base, name, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL, key, NULL);
}

// Writers create both keys (the first write for a PVM makes its subkey);
// readers only open them. Each handle left null was not opened.
LONG qssOpenStateKeys(const QSS_STATE_REPORT* report, const char* subKey, BOOL writer, HANDLE transaction,
                      HKEY* parent, HKEY* sub)
{
    const char* openCall = writer ? "RegCreateKeyEx" : "RegOpenKeyEx";
    *parent = NULL;
    *sub = NULL;
    LONG status = writer ? qssCreateStateKey(HKEY_LOCAL_MACHINE, QSS_PERSISTENT_STATES_KEY, KEY_CREATE_SUB_KEY,
                                             transaction, parent)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PERSISTENT_STATES_KEY, 0, KEY_READ, parent);
    if (status != ERROR_SUCCESS) {
        *parent = NULL;
        qssReportRegFailure(report->function, report->openParentLine, openCall, status);
        return status;
    }
    status = writer ? qssCreateStateKey(*parent, subKey, KEY_SET_VALUE, transaction, sub)
                    : RegOpenKeyExA(*parent, subKey, 0, KEY_QUERY_VALUE, sub);
    if (status != ERROR_SUCCESS) {
        *sub = NULL;
        qssReportRegFailure(report->function, report->openSubKeyLine, openCall, status);
    }
    return status;
}

void qssCloseStateKeys(const QSS_STATE_REPORT* report, HKEY parent, HKEY sub)
{
    if (parent) qssCloseReported(parent, report->function, report->closeParentLine);
    if (sub) qssCloseReported(sub, report->function, report->closeSubKeyLine);
}

LONG qssSetStateValue(const QSS_STATE_REPORT* report, const char* subKey, const char* valueName, DWORD type,
                      const BYTE* data, DWORD size, HANDLE transaction)
{
    HKEY parent;
    HKEY sub;
    LONG status = qssOpenStateKeys(report, subKey, TRUE, transaction, &parent, &sub);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(sub, valueName, 0, type, data, size);
        if (status != ERROR_SUCCESS) {
            qssReportRegFailure(report->function, report->operationLine, report->operation, status);
        }
    }
    qssCloseStateKeys(report, parent, sub);
    return status;
}

// *size: the buffer's size in, the value's size out.
LONG qssGetStateValue(const QSS_STATE_REPORT* report, const char* subKey, const char* valueName, BYTE* buffer,
                      DWORD* size)
{
    HKEY parent;
    HKEY sub;
    LONG status = qssOpenStateKeys(report, subKey, FALSE, NULL, &parent, &sub);
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExA(sub, valueName, NULL, NULL, buffer, size);
        if (status != ERROR_SUCCESS) {
            qssReportRegFailure(report->function, report->operationLine, report->operation, status);
        }
    }
    qssCloseStateKeys(report, parent, sub);
    return status;
}

// The Parameters writers: create the key, set the value, make it durable, close.
BOOL qssSetParameter(const char* function, const DWORD lines[4], const char* setCall, const char* valueName,
                     DWORD type, const BYTE* data, DWORD size)
{
    HKEY key = NULL;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, QSS_PARAMETERS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        qssReportRegFailure(function, lines[0], "RegCreateKeyEx", status);
        return FALSE;
    }
    status = RegSetValueExA(key, valueName, 0, type, data, size);
    if (status != ERROR_SUCCESS) {
        qssReportRegFailure(function, lines[1], setCall, status);
    } else {
        status = RegFlushKey(key);
        if (status != ERROR_SUCCESS) qssReportRegFailure(function, lines[2], "RegFlushKey", status);
    }
    qssCloseReported(key, function, lines[3]);
    return status == ERROR_SUCCESS;
}

// The Parameters readers: open the key, query, close. *size as for RegQueryValueExA.
BOOL qssGetParameter(const char* function, const DWORD lines[3], const char* queryCall, BOOL quiet,
                     const char* valueName, BYTE* buffer, DWORD* size)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PARAMETERS_KEY, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        qssReportRegFailure(function, lines[0], "RegOpenKeyEx", status);
        return FALSE;
    }
    status = RegQueryValueExA(key, valueName, NULL, NULL, buffer, size);
    if (status != ERROR_SUCCESS && !quiet) qssReportRegFailure(function, lines[1], queryCall, status);
    qssCloseReported(key, function, lines[2]);
    return status == ERROR_SUCCESS;
}

}  // namespace

BOOL Qss_RegSetDWORD(const char* valueName, DWORD value)
{
    static const DWORD lines[4] = {218, 231, 237, 243};
    return qssSetParameter("Qss_RegSetDWORD", lines, "RegSetValueEx", valueName, REG_DWORD, (const BYTE*)&value,
                           sizeof value);
}

BOOL Qss_RegGetDWORD(const char* valueName, BOOL quiet, DWORD* value)
{
    static const DWORD lines[3] = {299, 321, 334};
    DWORD read = 0;
    DWORD size = sizeof read;
    BOOL ok = qssGetParameter("Qss_RegGetDWORD", lines, "RegQueryValueEx", quiet, valueName, (BYTE*)&read, &size);
    *value = ok ? read : 0;
    return ok;
}

BOOL Qss_RegSetSTRING(const char* valueName, const char* data, DWORD byteCount)
{
    static const DWORD lines[4] = {394, 407, 413, 419};
    return qssSetParameter("Qss_RegSetSTRING", lines, "RegSetValueExA", valueName, REG_SZ, (const BYTE*)data,
                           byteCount);
}

BOOL Qss_RegGetSTRING(const char* valueName, char* buffer, DWORD bufferSize)
{
    static const DWORD lines[3] = {472, 488, 501};
    DWORD size = bufferSize;
    BOOL ok = qssGetParameter("Qss_RegGetSTRING", lines, "RegQueryValueExA", FALSE, valueName, (BYTE*)buffer, &size);
    if (ok) {
        qssTerminateQueriedText(buffer, bufferSize, size);
    } else {
        qssClearText(buffer, bufferSize);
    }
    return ok;
}

LONG Qss_RegGetParameterData(const char* valueName, DWORD* type, BYTE** data, DWORD* size)
{
    *data = NULL;
    *size = 0;
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PARAMETERS_KEY, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        qssReportRegFailure("Qss_RegGetParameterData", 556, "RegOpenKeyEx", status);
        return status;
    }
    HANDLE heap = GetProcessHeap();
    // The value may grow between the two queries: ask again with the new size.
    DWORD needed = 0;
    status = RegQueryValueExA(key, valueName, NULL, type, NULL, &needed);
    while (status == ERROR_SUCCESS) {
        BYTE* buffer = heap ? (BYTE*)HeapAlloc(heap, HEAP_ZERO_MEMORY, (SIZE_T)needed + 2) : NULL;
        if (buffer == NULL) {
            status = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        DWORD got = needed;
        status = RegQueryValueExA(key, valueName, NULL, type, buffer, &got);
        if (status == ERROR_SUCCESS) {
            *data = buffer;
            *size = got;
            break;
        }
        HeapFree(heap, 0, buffer);
        if (status != ERROR_MORE_DATA) break;
        needed = got;
        status = ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        qssReportRegFailure("Qss_RegGetParameterData", 571, "RegQueryValueEx", status);
    }
    qssCloseReported(key, "Qss_RegGetParameterData", 586);
    return status;
}

LONG Qss_RegSetPersistentStateDWORD(const char* subKey, const char* valueName, DWORD value, HANDLE transaction)
{
    static const QSS_STATE_REPORT report = {"Qss_RegSetPersistentStateDWORD", 627, 644, "RegSetValueEx", 657, 667, 677};
    return qssSetStateValue(&report, subKey, valueName, REG_DWORD, (const BYTE*)&value, sizeof value, transaction);
}

LONG Qss_RegSetPersistentStateSTRING(const char* subKey, const char* valueName, const char* text, size_t maxSize,
                                     HANDLE transaction)
{
    static const QSS_STATE_REPORT report = {"Qss_RegSetPersistentStateSTRING", 770, 787, "RegSetValueExA", 801, 811,
                                            821};
    size_t length = 0;
    HRESULT hr = StringCbLengthA(text, maxSize, &length);
    if (FAILED(hr)) {
        qssReportRegFailure(report.function, 753, "StringCbLengthA", (LONG)(hr & 0xFFFF));
        return ERROR_INSUFFICIENT_BUFFER;
    }
    return qssSetStateValue(&report, subKey, valueName, REG_SZ, (const BYTE*)text, (DWORD)(length + 1),
                            transaction);
}

LONG Qss_RegSetPersistentStateBINARY(const char* subKey, const char* valueName, const void* data, DWORD byteCount,
                                     HANDLE transaction)
{
    static const QSS_STATE_REPORT report = {"Qss_RegSetPersistentStateBINARY", 880, 896, "RegSetValueEx", 910, 920,
                                            930};
    return qssSetStateValue(&report, subKey, valueName, REG_BINARY, (const BYTE*)data, byteCount, transaction);
}

HANDLE Qss_RegBeginStateWrites(void)
{
    HANDLE transaction = CreateTransaction(NULL, NULL, 0, 0, 0, 0, NULL);
    if (transaction != INVALID_HANDLE_VALUE) return transaction;
    qssReportRegFailure("Qss_RegBeginStateWrites", 941, "CreateTransaction", (LONG)GetLastError());
    return NULL;
}

LONG Qss_RegCommitStateWrites(HANDLE transaction)
{
    if (transaction == NULL) return ERROR_SUCCESS;
    LONG status = ERROR_SUCCESS;
    if (!CommitTransaction(transaction)) {
        status = (LONG)GetLastError();
        qssReportRegFailure("Qss_RegCommitStateWrites", 951, "CommitTransaction", status);
    }
    CloseHandle(transaction);
    return status;
}

LONG Qss_RegGetPersistentStateDWORD(const char* subKey, const char* valueName, DWORD* value)
{
    static const QSS_STATE_REPORT report = {"Qss_RegGetPersistentStateDWORD", 983, 995, "RegQueryValueEx", 1011, 1030,
                                            1040};
    DWORD read = 0;
    DWORD size = sizeof read;
    LONG status = qssGetStateValue(&report, subKey, valueName, (BYTE*)&read, &size);
    *value = status == ERROR_SUCCESS ? read : 0;
    return status;
}

LONG Qss_RegGetPersistentStateSTRING(const char* subKey, const char* valueName, char* buffer, DWORD bufferSize)
{
    static const QSS_STATE_REPORT report = {"Qss_RegGetPersistentStateSTRING", 1098, 1110, "RegQueryValueExA", 1126,
                                            1145, 1155};
    DWORD size = bufferSize;
    LONG status = qssGetStateValue(&report, subKey, valueName, (BYTE*)buffer, &size);
    if (status == ERROR_SUCCESS) {
        qssTerminateQueriedText(buffer, bufferSize, size);
    } else {
        qssClearText(buffer, bufferSize);
    }
    return status;
}

LONG Qss_RegGetPersistentStateBINARY(const char* subKey, const char* valueName, void* buffer, DWORD bufferSize)
{
    static const QSS_STATE_REPORT report = {"Qss_RegGetPersistentStateBINARY", 1213, 1225, "RegQueryValueEx", 1241,
                                            1256, 1266};
    if (buffer && bufferSize > 0) memset(buffer, 0, bufferSize);
    DWORD size = bufferSize;
    return qssGetStateValue(&report, subKey, valueName, (BYTE*)buffer, &size);
}

LONG Qss_RegEnumPersistentState(DWORD index, char* name, DWORD* nameLength)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PERSISTENT_STATES_KEY, 0, KEY_ENUMERATE_SUB_KEYS, &key);
    if (status != ERROR_SUCCESS) {
        // No persistent state has ever been written.
        if (status == ERROR_FILE_NOT_FOUND && index == 0) return ERROR_NO_MORE_ITEMS;
        qssReportRegFailure("Qss_RegEnumPersistentState", 1333, "RegOpenKeyEx", status);
        return status;
    }
    status = RegEnumKeyExA(key, index, name, nameLength, NULL, NULL, NULL, NULL);
    if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS) {
        qssReportRegFailure("Qss_RegEnumPersistentState", 1348, "RegEnumKeyEx", status);
    }
    qssCloseReported(key, "Qss_RegEnumPersistentState", 1356);
    return status;
}

LONG Qss_RegDeletePersistentState(const char* subKey)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PERSISTENT_STATES_KEY, 0, KEY_WRITE, &key);
    if (status != ERROR_SUCCESS) {
        qssReportRegFailure("Qss_RegDeletePersistentState", 1401, "RegOpenKeyEx", status);
        return status;
    }
    LONG deleted = RegDeleteKeyA(key, subKey);
    if (deleted != ERROR_SUCCESS) qssReportRegFailure("Qss_RegDeletePersistentState", 1409, "RegDeleteKey", deleted);
    status = RegCloseKey(key);
    if (status != ERROR_SUCCESS) qssReportRegFailure("Qss_RegDeletePersistentState", 1419, "RegCloseKey", status);
    return deleted != ERROR_SUCCESS ? deleted : status;
}

LONG Qss_RegProbePersistentStateValue(const char* subKey, const char* valueName)
{
    static const QSS_STATE_REPORT report = {"Qss_RegProbePersistentStateValue", 1531, 1543, "RegQueryValueEx", 1557,
                                            1567, 1577};
    HKEY parent;
    HKEY sub;
    LONG status = qssOpenStateKeys(&report, subKey, FALSE, NULL, &parent, &sub);
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExA(sub, valueName, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            qssReportRegFailure(report.function, report.operationLine, report.operation, status);
        }
    }
    qssCloseStateKeys(&report, parent, sub);
    return status;
}

LONG Qss_RegFlushPersistentStates(void)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PERSISTENT_STATES_KEY, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        qssReportRegFailure("Qss_RegFlushPersistentStates", 1463, "RegOpenKeyEx", status);
        return status;
    }
    status = RegFlushKey(key);
    if (status != ERROR_SUCCESS) qssReportRegFailure("Qss_RegFlushPersistentStates", 1489, "RegFlushKey", status);
    qssCloseReported(key, "Qss_RegFlushPersistentStates", 1499);
    return status;
}
