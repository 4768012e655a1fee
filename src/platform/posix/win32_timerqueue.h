// Timer queues: one-shot timers whose callbacks run on worker threads.
#pragma once

#include "win32_types.h"

typedef VOID(CALLBACK* WAITORTIMERCALLBACK)(PVOID lpParameter, BOOLEAN TimerOrWaitFired);

#define WT_EXECUTEDEFAULT 0x00000000u
#define WT_EXECUTELONGFUNCTION 0x00000010u

HANDLE CreateTimerQueue(VOID);
// One-shot timers only (Period 0); Flags WT_EXECUTEDEFAULT or WT_EXECUTELONGFUNCTION.
BOOL CreateTimerQueueTimer(PHANDLE phNewTimer, HANDLE TimerQueue, WAITORTIMERCALLBACK Callback, PVOID Parameter,
                           DWORD DueTime, DWORD Period, ULONG Flags);
// CompletionEvent NULL never waits: a timer whose callback has started fails
// with ERROR_IO_PENDING and goes when the callback ends; one not yet started
// never runs. INVALID_HANDLE_VALUE waits for a started callback to end.
BOOL DeleteTimerQueueTimer(HANDLE TimerQueue, HANDLE Timer, HANDLE CompletionEvent);
// Only INVALID_HANDLE_VALUE: returns once no callback of the queue runs or will run.
BOOL DeleteTimerQueueEx(HANDLE TimerQueue, HANDLE CompletionEvent);
