// The timers of an instance record, and the rule that keeps a record alive
// while any of its timer callbacks can still run.
//
// Timers are deleted without waiting, so a callback may already be under way
// (running, or waiting for qssInstanceLock) when its handle is deleted and
// forgotten. Each timer therefore carries a ticket, listed in its record, that
// lives until the callback can no longer run: freed by the deletion when the
// callback never started or has finished, otherwise by the callback's own end.
// A record with a ticket is never aged out.
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// What a timer callback is given: the slot for a keepalive timeout, the record
// for a quorum timeout. The callback runs with qssInstanceLock held.
typedef void QSS_INSTANCE_TIMER_CALLBACK(PVOID target, BOOLEAN fired);

struct QSS_TIMER_TICKET {
    QSS_TIMER_TICKET* pNext; // next ticket of the same record
    QSS_INSTANCE* pInstance;
    PVOID target;
    QSS_INSTANCE_TIMER_CALLBACK* callback;
    BYTE bForgotten; // its handle was deleted while the callback was under way
    BYTE bFinished;  // the callback has run to its end
};

// Arms a one-shot timer in qssHTimerQueue that calls callback(target) after
// dueTime ms. On failure returns FALSE with the error in GetLastError (for the
// caller's report) and leaves *phTimer and *ppTicket NULL.
BOOL qssArmInstanceTimer(QSS_INSTANCE* record, PVOID target, QSS_INSTANCE_TIMER_CALLBACK* callback, DWORD dueTime,
                         HANDLE* phTimer, QSS_TIMER_TICKET** ppTicket);

// Deletes the timer without waiting and forgets it. Returns 0, or the error of
// DeleteTimerQueueTimer (ERROR_IO_PENDING when its callback is under way).
DWORD qssDisarmInstanceTimer(QSS_INSTANCE* record, HANDLE* phTimer, QSS_TIMER_TICKET** ppTicket);

// TRUE while a timer of the record is armed or a callback of one can still run.
BOOL qssInstanceTimersPending(const QSS_INSTANCE* record);

// Frees the record's tickets; only once the timer queue is gone.
void qssFreeInstanceTimers(QSS_INSTANCE* record);

// Frees the ticket kept for reuse, after the records' own.
void qssFreeSpareTimerTicket(void);
