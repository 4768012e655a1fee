#include "Qss/quorum/instance_timer.h"

#include <cstring>

#include "Qss/net/server_thread.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"

// The last ticket freed, kept for the next timer armed: a keepalive re-arms
// its timer by deleting and creating it, and then allocates nothing.
// Guarded by qssInstanceLock.
static QSS_TIMER_TICKET* qssSpareTicket;

static void qssFreeTimerTicket(QSS_TIMER_TICKET* ticket)
{
    QSS_TIMER_TICKET** link = &ticket->pInstance->pTickets;
    while (*link != ticket) {
        link = &(*link)->pNext;
    }
    *link = ticket->pNext;
    if (qssSpareTicket == NULL) {
        qssSpareTicket = ticket;
    } else {
        HeapFree(GetProcessHeap(), 0, ticket);
    }
}

static QSS_TIMER_TICKET* qssNewTimerTicket(void)
{
    QSS_TIMER_TICKET* ticket = qssSpareTicket;
    if (ticket != NULL) {
        qssSpareTicket = NULL;
        memset(ticket, 0, sizeof(*ticket));
        return ticket;
    }
    HANDLE heap = GetProcessHeap();
    return heap ? static_cast<QSS_TIMER_TICKET*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(QSS_TIMER_TICKET))) : NULL;
}

static VOID CALLBACK qssInstanceTimerFired(PVOID parameter, BOOLEAN fired)
{
    QSS_TIMER_TICKET* ticket = static_cast<QSS_TIMER_TICKET*>(parameter);

    EnterCriticalSection(&qssInstanceLock);
    QSS_INSTANCE* record = ticket->pInstance;
    // A timer deleted while this waited for the lock is no longer the
    // record's: its callback must not act for a timer armed since.
    if (!ticket->bForgotten) {
        ticket->callback(ticket->target, fired);
    }
    // Past this point the ticket is not touched again, so a deletion that
    // finds the callback still under way may free it.
    if (ticket->bForgotten) {
        qssFreeTimerTicket(ticket);
    } else {
        ticket->bFinished = TRUE;
    }
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
}

BOOL qssArmInstanceTimer(QSS_INSTANCE* record, PVOID target, QSS_INSTANCE_TIMER_CALLBACK* callback, DWORD dueTime,
                         HANDLE* phTimer, QSS_TIMER_TICKET** ppTicket)
{
    *phTimer = NULL;
    *ppTicket = NULL;
    EnterCriticalSection(&qssInstanceLock);
    QSS_TIMER_TICKET* ticket = qssNewTimerTicket();
    if (ticket == NULL) {
        LeaveCriticalSection(&qssInstanceLock);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    ticket->pInstance = record;
    ticket->target = target;
    ticket->callback = callback;

    HANDLE timer = NULL;
    if (!CreateTimerQueueTimer(&timer, qssHTimerQueue, qssInstanceTimerFired, ticket, dueTime, 0,
                               WT_EXECUTELONGFUNCTION)) {
        DWORD error = GetLastError();
        if (qssSpareTicket == NULL) {
            qssSpareTicket = ticket;
        } else {
            HeapFree(GetProcessHeap(), 0, ticket);
        }
        LeaveCriticalSection(&qssInstanceLock);
        SetLastError(error);
        return FALSE;
    }
    // The callback cannot look at the ticket before this hold of the lock ends.
    ticket->pNext = record->pTickets;
    record->pTickets = ticket;
    *phTimer = timer;
    *ppTicket = ticket;
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
    return TRUE;
}

DWORD qssDisarmInstanceTimer(QSS_INSTANCE* record, HANDLE* phTimer, QSS_TIMER_TICKET** ppTicket)
{
    EnterCriticalSection(&qssInstanceLock);
    DWORD error = DeleteTimerQueueTimer(qssHTimerQueue, *phTimer, NULL) ? 0 : GetLastError();
    QSS_TIMER_TICKET* ticket = *ppTicket;
    if (ticket != NULL) {
        // Success means the callback never started or has ended. Any other
        // failure than ERROR_IO_PENDING leaves that unknown, so the ticket waits
        // for a callback that may never come: the record is then kept.
        if (error == 0 || ticket->bFinished) {
            qssFreeTimerTicket(ticket);
        } else {
            ticket->bForgotten = TRUE;
        }
    }
    *phTimer = NULL;
    *ppTicket = NULL;
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
    return error;
}

BOOL qssInstanceTimersPending(const QSS_INSTANCE* record)
{
    return record->pTickets != NULL;
}

void qssFreeInstanceTimers(QSS_INSTANCE* record)
{
    while (record->pTickets != NULL) {
        qssFreeTimerTicket(record->pTickets);
    }
    record->hQuorumTimeout = NULL;
    record->pQuorumTimeoutTicket = NULL;
    for (QSS_AM_INFO& slot : record->am) {
        slot.hInstanceTimeout = NULL;
        slot.pInstanceTimeoutTicket = NULL;
    }
}

void qssFreeSpareTimerTicket(void)
{
    EnterCriticalSection(&qssInstanceLock);
    if (qssSpareTicket != NULL) {
        HeapFree(GetProcessHeap(), 0, qssSpareTicket);
        qssSpareTicket = NULL;
    }
    LeaveCriticalSection(&qssInstanceLock);
}
