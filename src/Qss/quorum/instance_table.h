// The instance table: the records by PVM ID, their creation, lookup, ageing and removal.
//
// The records form a list, newest first, and are also indexed by PVM ID, so a
// lookup costs the same whatever the number of records. Every function takes
// qssInstanceLock itself; callers that use a returned record hold it across
// the call and every use of the record.
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// The millisecond tick source of the quorum engine, GetTickCount unless a
// test puts in another. Every tick the engine keeps or compares comes from it.
extern DWORD(WINAPI* qssGetTick)(void);

extern QSS_INSTANCE* qssInstanceList; // newest first
extern DWORD qssInstanceCount;

// Creates and links a record for pvmId. *status: 0 on success, 1 without a
// PVM ID, ZEL_K_QS_STATUS_NO_RESOURCES when memory is short,
// ZEL_K_QS_STATUS_TOO_MANY_INSTANCES when the table is full even after ageing.
QSS_INSTANCE* qssNewInstance(const BYTE* pvmId, DWORD* status);

QSS_INSTANCE* qssFindInstance(const BYTE* pvmId);

// Unlinks and frees the record for pvmId. Only for records that ageing found
// unused: no armed timer and no callback that can still run.
void qssDeleteInstance(const BYTE* pvmId);

// Frees every record. Only once the timer queue is gone and no callback can run.
void qssDeleteAllInstances(void);

// Removes the records that nobody uses any more (see instance_ageing.cpp).
void qssUnusedInstanceCollection(void);

// Classifies an AM slot for a request with this sequence and reply type;
// timer callbacks pass all ones and 0, which never gives QSS_AM_STATE_RESEND.
DWORD qssGetAmState(const QSS_AM_INFO* slot, ULONGLONG sequence, DWORD replyType);

BOOL qssAnyAmOnline(const QSS_INSTANCE* record);

// Writes the record to the console trace (console mode with info tracing only).
void qssDumpInstance(const QSS_INSTANCE* record);

// The AM number (1 or 2) of a slot.
DWORD qssAmNumber(const QSS_AM_INFO* slot);
