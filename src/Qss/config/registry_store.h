// The service's two registry keys. Single values of "Parameters" report
// success as a BOOL; the per-PVM subkeys of "Persistent States" report the
// Win32 status (0 on success). Every call opens, acts and closes: nothing is
// kept between calls, so any thread may call them.
#pragma once

#include "platform/win32.h"

#define QSS_PARAMETERS_KEY "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters"
#define QSS_PERSISTENT_STATES_KEY "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Persistent States"

// The Parameters writers flush the key before closing it, so an install
// survives a power loss.
BOOL Qss_RegSetDWORD(const char* valueName, DWORD value);
// On failure *value is 0; a failed query is reported only when quiet is FALSE.
BOOL Qss_RegGetDWORD(const char* valueName, BOOL quiet, DWORD* value);
// Stores exactly byteCount bytes (the caller counts the terminator).
BOOL Qss_RegSetSTRING(const char* valueName, const char* data, DWORD byteCount);
// On failure the buffer holds the empty string; on success it is terminated.
BOOL Qss_RegGetSTRING(const char* valueName, char* buffer, DWORD bufferSize);

// An optional value of any type and size: *data comes from the process heap,
// two zero bytes longer than *size (so text in it is always terminated), and
// is freed by the caller with HeapFree. ERROR_FILE_NOT_FOUND, unreported, when
// the value is absent; other failures are reported.
LONG Qss_RegGetParameterData(const char* valueName, DWORD* type, BYTE** data, DWORD* size);

// The first write for a PVM creates "Persistent States" and the PVM's subkey.
// Given a transaction of Qss_RegBeginStateWrites, the value is in the registry
// only once it is committed (the keys are made at once).
LONG Qss_RegSetPersistentStateDWORD(const char* subKey, const char* valueName, DWORD value, HANDLE transaction = NULL);
LONG Qss_RegSetPersistentStateBINARY(const char* subKey, const char* valueName, const void* data, DWORD byteCount,
                                     HANDLE transaction = NULL);
// Stores the text and its terminator; ERROR_INSUFFICIENT_BUFFER, without touching
// the registry, when no terminator occurs within maxSize bytes.
LONG Qss_RegSetPersistentStateSTRING(const char* subKey, const char* valueName, const char* text, size_t maxSize,
                                     HANDLE transaction = NULL);
// Many PVMs' values written as one change, which costs the registry far less
// than a change per value. NULL, reported, when no transaction can be had:
// the writes are then each a change of its own.
HANDLE Qss_RegBeginStateWrites(void);
// Commits the writes made in the transaction and closes it: ERROR_SUCCESS, or
// the failure, reported, and then none of them is in the registry. NULL
// commits nothing and succeeds.
LONG Qss_RegCommitStateWrites(HANDLE transaction);
// On failure *value is 0.
LONG Qss_RegGetPersistentStateDWORD(const char* subKey, const char* valueName, DWORD* value);
// On failure the buffer holds the empty string; on success it is terminated.
LONG Qss_RegGetPersistentStateSTRING(const char* subKey, const char* valueName, char* buffer, DWORD bufferSize);
// The buffer is zero-filled first: bytes the stored value does not cover stay 0.
LONG Qss_RegGetPersistentStateBINARY(const char* subKey, const char* valueName, void* buffer, DWORD bufferSize);
// *nameLength: the buffer's capacity in characters in, the name's length out.
// ERROR_NO_MORE_ITEMS past the last subkey, and at index 0 when no state was ever written.
LONG Qss_RegEnumPersistentState(DWORD index, char* name, DWORD* nameLength);
LONG Qss_RegDeletePersistentState(const char* subKey);
// ERROR_SUCCESS when the subkey holds the value, ERROR_FILE_NOT_FOUND when
// not (not reported), or the error that kept it from being looked at.
LONG Qss_RegProbePersistentStateValue(const char* subKey, const char* valueName);
// Makes every change written so far under "Persistent States" durable, all
// PVMs' subkeys with it, in one flush.
LONG Qss_RegFlushPersistentStates(void);
