#include "Qss/quorum/grant_commit.h"

#include "Qss/config/persistent_state.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/quorum_decision.h"

namespace {

// Records a round takes at most; the rest wait for the next, so that the
// first grants of a long failover are not held back by the writes of all.
constexpr DWORD QSS_COMMIT_ROUND_SIZE = 256;

struct QSS_COMMIT_ENTRY {
    QSS_INSTANCE* record;
    BOOL bHasGrant;   // FALSE when the grant had gone before the round took the record
    BOOL bWritten;    // every value the restore needs is in the registry
    QSS_PERSISTENT_STATE state;
};

// Guarded by qssInstanceLock but the handles and the entries: the handles are
// touched only by the start and the stop, the entries only by the commit thread.
HANDLE qssCommitThread;
HANDLE qssCommitWakeup; // auto-reset: raised for every grant queued, and to stop
QSS_COMMIT_ENTRY* qssCommitEntries;
BOOL bCommitStopRequested; // no grant is answered any more
BOOL bCommitExitRequested; // the thread ends once nothing waits
QSS_INSTANCE* qssCommitQueue; // records with a grant waiting, oldest first
QSS_INSTANCE** qssCommitQueueEnd = &qssCommitQueue;

// Held from the moment a round takes its grants until their values are in the
// registry, so that no deletion of a PVM's subkey comes in between: a grant
// released meanwhile would otherwise be written after its release. Taken
// after qssInstanceLock, never before it.
CRITICAL_SECTION qssStateDiskLock;
BOOL bStateDiskLockReady;

void qssAppendToCommitQueue(QSS_INSTANCE* record)
{
    record->pCommitNext = NULL;
    *qssCommitQueueEnd = record;
    qssCommitQueueEnd = &record->pCommitNext;
}

QSS_INSTANCE* qssTakeFromCommitQueue(void)
{
    QSS_INSTANCE* record = qssCommitQueue;
    qssCommitQueue = record->pCommitNext;
    if (qssCommitQueue == NULL) qssCommitQueueEnd = &qssCommitQueue;
    record->pCommitNext = NULL;
    return record;
}

// Under the lock: the round is the first records of the queue, each with a
// copy of its grant's values. The number of records taken; the disk lock is
// then held.
DWORD qssBeginCommitRound(void)
{
    DWORD count = 0;
    for (QSS_INSTANCE* record = qssCommitQueue; record != NULL && count < QSS_COMMIT_ROUND_SIZE;
         record = record->pCommitNext) {
        QSS_COMMIT_ENTRY* entry = &qssCommitEntries[count++];
        entry->record = record;
        entry->bHasGrant = FALSE;
        entry->bWritten = FALSE;
        for (QSS_AM_INFO& slot : record->am) {
            if (!slot.bAwaitingDisk) continue;
            slot.bInCommitRound = 1;
            entry->bHasGrant = TRUE;
        }
        if (entry->bHasGrant) qssCapturePersistentState(record, &entry->state);
    }
    EnterCriticalSection(&qssStateDiskLock);
    for (DWORD i = 0; i < count; ++i) {
        if (qssCommitEntries[i].bHasGrant) qssCommitEntries[i].record->bStateWritten = 1;
    }
    return count;
}

// Without qssInstanceLock, with the disk lock, which it lets go: the round's
// values, as one change of the registry. FALSE when there was none to write.
BOOL qssWriteCommitRound(DWORD count)
{
    BOOL anyWritten = FALSE;
    HANDLE transaction = Qss_RegBeginStateWrites();
    for (DWORD i = 0; i < count; ++i) {
        QSS_COMMIT_ENTRY* entry = &qssCommitEntries[i];
        if (!entry->bHasGrant) continue;
        entry->bWritten = qssWritePersistentState(&entry->state, transaction);
        anyWritten = TRUE;
    }
    if (Qss_RegCommitStateWrites(transaction) != ERROR_SUCCESS) {
        for (DWORD i = 0; i < count; ++i) qssCommitEntries[i].bWritten = FALSE;
    }
    LeaveCriticalSection(&qssStateDiskLock);
    return anyWritten;
}

// Under the lock: answers or withdraws every grant of the round. Records with
// a grant decided since the round began go back to the queue's end. Once the
// stop has begun, a durable grant stays unanswered and is not taken again.
void qssFinishCommitRound(DWORD count, BOOL flushed)
{
    for (DWORD i = 0; i < count; ++i) {
        const QSS_COMMIT_ENTRY* entry = &qssCommitEntries[i];
        QSS_INSTANCE* record = qssTakeFromCommitQueue();
        BOOL laterGrant = FALSE;
        for (QSS_AM_INFO& slot : record->am) {
            if (!slot.bAwaitingDisk) continue;
            if (!slot.bInCommitRound) {
                laterGrant = TRUE;
                continue;
            }
            slot.bInCommitRound = 0;
            if (!entry->bWritten || !flushed) {
                qssWithdrawGrant(record, &slot);
            } else if (!bCommitStopRequested) {
                slot.bAwaitingDisk = 0;
                qssSendGrantAnswer(&slot);
            }
        }
        if (laterGrant) {
            qssAppendToCommitQueue(record);
            continue;
        }
        record->bCommitQueued = 0;
        qssReviewInstanceAgeing(record);
    }
}

DWORD WINAPI qssGrantCommitThread(LPVOID)
{
    for (;;) {
        if (WaitForSingleObject(qssCommitWakeup, INFINITE) == WAIT_FAILED) {
            Qss_LogWin32Error("qssGrantCommitThread", 60, "WaitForSingleObject", (int)GetLastError(), 0);
            return 1;
        }
        for (;;) {
            EnterCriticalSection(&qssInstanceLock);
            if (qssCommitQueue == NULL) {
                BOOL exit = bCommitExitRequested;
                LeaveCriticalSection(&qssInstanceLock);
                if (exit) return 0;
                break;
            }
            DWORD count = qssBeginCommitRound();
            LeaveCriticalSection(&qssInstanceLock);

            BOOL flushed = !qssWriteCommitRound(count) || Qss_RegFlushPersistentStates() == ERROR_SUCCESS;

            EnterCriticalSection(&qssInstanceLock);
            qssFinishCommitRound(count, flushed);
            LeaveCriticalSection(&qssInstanceLock);
        }
    }
}

}  // namespace

BOOL qssStartGrantCommit(void)
{
    bCommitStopRequested = FALSE;
    bCommitExitRequested = FALSE;
    qssCommitQueue = NULL;
    qssCommitQueueEnd = &qssCommitQueue;
    qssCommitEntries = static_cast<QSS_COMMIT_ENTRY*>(
        HeapAlloc(GetProcessHeap(), 0, QSS_COMMIT_ROUND_SIZE * sizeof(QSS_COMMIT_ENTRY)));
    if (qssCommitEntries == NULL) {
        Qss_LogWin32Error("qssStartGrantCommit", 98, "HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 0);
        return FALSE;
    }
    InitializeCriticalSection(&qssStateDiskLock);
    bStateDiskLockReady = TRUE;
    qssCommitWakeup = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (qssCommitWakeup == NULL) {
        Qss_LogWin32Error("qssStartGrantCommit", 101, "CreateEvent", (int)GetLastError(), 0);
        qssStopGrantCommit();
        return FALSE;
    }
    qssCommitThread = CreateThread(NULL, 0, qssGrantCommitThread, NULL, 0, NULL);
    if (qssCommitThread == NULL) {
        Qss_LogWin32Error("qssStartGrantCommit", 107, "CreateThread", (int)GetLastError(), 0);
        qssStopGrantCommit();
        return FALSE;
    }
    return TRUE;
}

void qssRequestGrantCommitStop(void)
{
    EnterCriticalSection(&qssInstanceLock);
    bCommitStopRequested = TRUE;
    LeaveCriticalSection(&qssInstanceLock);
}

void qssStopGrantCommit(void)
{
    if (qssCommitThread != NULL) {
        EnterCriticalSection(&qssInstanceLock);
        bCommitStopRequested = TRUE;
        bCommitExitRequested = TRUE;
        LeaveCriticalSection(&qssInstanceLock);
        if (!SetEvent(qssCommitWakeup))
            Qss_LogWin32Error("qssStopGrantCommit", 131, "SetEvent", (int)GetLastError(), 0);
        if (WaitForSingleObject(qssCommitThread, INFINITE) == WAIT_FAILED)
            Qss_LogWin32Error("qssStopGrantCommit", 133, "WaitForSingleObject", (int)GetLastError(), 0);
        CloseHandle(qssCommitThread);
        qssCommitThread = NULL;
    }
    if (qssCommitWakeup != NULL) {
        CloseHandle(qssCommitWakeup);
        qssCommitWakeup = NULL;
    }
    // The records themselves are freed with the table.
    EnterCriticalSection(&qssInstanceLock);
    for (QSS_INSTANCE* record = qssCommitQueue; record != NULL; record = record->pCommitNext) {
        record->bCommitQueued = 0;
    }
    qssCommitQueue = NULL;
    qssCommitQueueEnd = &qssCommitQueue;
    LeaveCriticalSection(&qssInstanceLock);
    if (bStateDiskLockReady) {
        DeleteCriticalSection(&qssStateDiskLock);
        bStateDiskLockReady = FALSE;
    }
    if (qssCommitEntries != NULL) {
        HeapFree(GetProcessHeap(), 0, qssCommitEntries);
        qssCommitEntries = NULL;
    }
}

BOOL qssCommitGrant(QSS_INSTANCE* record, QSS_AM_INFO* winner)
{
    // Raised first: the thread looks at the queue only under the lock held here.
    if (qssCommitWakeup == NULL) {
        Qss_LogWin32Error("qssCommitGrant", 158, "SetEvent", ERROR_INVALID_HANDLE, 0);
        return FALSE;
    }
    if (!SetEvent(qssCommitWakeup)) {
        Qss_LogWin32Error("qssCommitGrant", 162, "SetEvent", (int)GetLastError(), 0);
        return FALSE;
    }
    winner->bAwaitingDisk = 1;
    winner->bInCommitRound = 0;
    if (!record->bCommitQueued) {
        record->bCommitQueued = 1;
        qssAppendToCommitQueue(record);
    }
    return TRUE;
}

LONG qssDeleteGrantState(QSS_INSTANCE* record, const char* subKey)
{
    EnterCriticalSection(&qssStateDiskLock);
    LONG status = ERROR_SUCCESS;
    if (record->bStateWritten) {
        status = Qss_RegDeletePersistentState(subKey);
        if (status == ERROR_SUCCESS) record->bStateWritten = 0;
    }
    LeaveCriticalSection(&qssStateDiskLock);
    return status;
}
