// The quorum state of one PVM kept in the registry: one subkey under
// "Persistent States" per PVM whose quorum is held, written at the grant,
// deleted at the release and read back at every start, so that a restarted
// server still knows the holder.
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

#define QSS_PERSISTENT_STATE_REVISION 4

// A grant's values as the record holds them, taken under qssInstanceLock so
// that they can be written without it.
struct QSS_PERSISTENT_AM_STATE {
    char amId[QSS_AM_ID_SIZE];
    uint32_t ipAddress; // network order
    WORD port;
    DWORD keepaliveInterval;
};

struct QSS_PERSISTENT_STATE {
    BYTE pvmId[QSS_PVM_ID_SIZE];
    DWORD holder; // 0 for AM1, 1 for AM2
    DWORD protocolRevision;
    SYSTEMTIME systemTimeAcquired; // UTC
    QSS_PERSISTENT_AM_STATE am[2];
};

void qssCapturePersistentState(const QSS_INSTANCE* record, QSS_PERSISTENT_STATE* state);

// Writes the sixteen values under the PVM's subkey, in the transaction of
// Qss_RegBeginStateWrites when one is given, without making them durable (the
// grant's commit does). FALSE when the subkey name cannot be formed or a value
// the restore needs could not be written; the other values are written all the same.
BOOL qssWritePersistentState(const QSS_PERSISTENT_STATE* state, HANDLE transaction);

// Fills the record from the subkey: the holder, the protocol revision, the
// time of the grant and both AMs' identity, address, port and keepalive
// interval. FALSE when a value the restore needs is missing or the holder is
// neither 0 (AM1) nor 1 (AM2).
BOOL qssGetPersistentState(QSS_INSTANCE* record, const char* subKey);

// TRUE when the subkey holds the first values of a grant in the order they
// are written, and nothing after them (none at all included): a first grant
// that was cut short, and so never answered. *valuesWritten says how many.
BOOL qssIsInterruptedFirstGrant(const char* subKey, DWORD* valuesWritten);

// At start, before any request is served: a record for every subkey, its AMs
// OFFLINE and its holder holding. A first grant that was cut short is
// removed with a warning; any other subkey that cannot be restored, named by
// trace and event, fails the start.
BOOL qssRestorePersistentStates(void);

// "yyyy-mm-dd hh:mm:ss", the form of "Time Acquired" and of the restore's report.
void qssFormatAcquiredTime(const SYSTEMTIME* time, char* text, size_t size);

// Reads a subkey name in the form "{" 16 hex digits 16 hex digits "}" the way
// the pattern "{%16I64x%16I64x}" does: the number of the two numbers
// converted, the first into *high, the second into *low.
int qssScanPersistentStateSubKey(const char* name, ULONGLONG* high, ULONGLONG* low);
