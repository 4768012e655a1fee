#include "Qss/quorum/grant_commit.h"

#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/quorum_decision.h"

namespace {

// Everything below is guarded by qssInstanceLock but the two handles, which
// only the start and the stop touch.
HANDLE qssCommitThread;
HANDLE qssCommitWakeup; // auto-reset: raised for every grant queued, and to stop
BOOL bCommitStopRequested;
QSS_INSTANCE* qssCommitQueue;               // records with a grant waiting, oldest first
QSS_INSTANCE** qssCommitQueueEnd = &qssCommitQueue;
// The round that grants decided now belong to: the next flush to begin covers them.
ULONGLONG qssCommitRound;

// Answers or withdraws every grant of the round that has just been flushed,
// and takes out of the queue the records left with nothing waiting.
void qssFinishCommitRound(ULONGLONG round, BOOL durable)
{
    QSS_INSTANCE** link = &qssCommitQueue;
    while (*link != NULL) {
        QSS_INSTANCE* record = *link;
        BOOL laterGrant = FALSE;
        for (QSS_AM_INFO& slot : record->am) {
            if (!slot.bAwaitingDisk) continue;
            if (slot.commitRound > round) {
                laterGrant = TRUE;
                continue;
            }
            slot.bAwaitingDisk = 0;
            if (durable) {
                qssSendGrantAnswer(&slot);
            } else {
                qssWithdrawGrant(record, &slot);
            }
        }
        if (laterGrant) {
            link = &record->pCommitNext;
            continue;
        }
        *link = record->pCommitNext;
        record->pCommitNext = NULL;
        record->bCommitQueued = 0;
        qssReviewInstanceAgeing(record);
    }
    qssCommitQueueEnd = link;
}

DWORD WINAPI qssGrantCommitThread(LPVOID)
{
    for (;;) {
        if (WaitForSingleObject(qssCommitWakeup, INFINITE) == WAIT_FAILED) {
            Qss_LogWin32Error("qssGrantCommitThread", 60, "WaitForSingleObject", (int)GetLastError(), 0);
            return 1;
        }
        EnterCriticalSection(&qssInstanceLock);
        if (bCommitStopRequested) {
            LeaveCriticalSection(&qssInstanceLock);
            return 0;
        }
        if (qssCommitQueue == NULL) {
            LeaveCriticalSection(&qssInstanceLock);
            continue;
        }
        ULONGLONG round = qssCommitRound++;
        LeaveCriticalSection(&qssInstanceLock);

        BOOL durable = Qss_RegFlushPersistentStates() == ERROR_SUCCESS;

        EnterCriticalSection(&qssInstanceLock);
        if (!bCommitStopRequested) qssFinishCommitRound(round, durable);
        LeaveCriticalSection(&qssInstanceLock);
        // Grants decided during the flush raised the wake-up: the next turn takes them.
    }
}

}  // namespace

BOOL qssStartGrantCommit(void)
{
    bCommitStopRequested = FALSE;
    qssCommitQueue = NULL;
    qssCommitQueueEnd = &qssCommitQueue;
    qssCommitWakeup = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (qssCommitWakeup == NULL) {
        Qss_LogWin32Error("qssStartGrantCommit", 101, "CreateEvent", (int)GetLastError(), 0);
        return FALSE;
    }
    qssCommitThread = CreateThread(NULL, 0, qssGrantCommitThread, NULL, 0, NULL);
    if (qssCommitThread == NULL) {
        Qss_LogWin32Error("qssStartGrantCommit", 107, "CreateThread", (int)GetLastError(), 0);
        CloseHandle(qssCommitWakeup);
        qssCommitWakeup = NULL;
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
        qssRequestGrantCommitStop();
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
    winner->commitRound = qssCommitRound;
    if (!record->bCommitQueued) {
        record->bCommitQueued = 1;
        record->pCommitNext = NULL;
        *qssCommitQueueEnd = record;
        qssCommitQueueEnd = &record->pCommitNext;
    }
    return TRUE;
}
