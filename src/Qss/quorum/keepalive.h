// Keepalive supervision: each ONLINE AM has a one-shot timer due after the
// record's instanceTimeout; most accepted requests re-arm it, and when it runs
// out the AM goes OFFLINE (keeping the quorum if it holds it).
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// (Re)arms the slot's timer and sets its lastKeepaliveTick. Called with qssInstanceLock held.
void qssResetKeepaliveTimeoutTimer(QSS_AM_INFO* slot);

// Deletes the slot's timer without waiting; caller and line only label the
// error report. Called with qssInstanceLock held.
void qssDeleteKeepaliveTimeoutTimer(QSS_AM_INFO* slot, const char* caller, DWORD line);

// The timer's callback; slot is the QSS_AM_INFO. Runs on a timer-queue thread.
void qssKeepaliveTimeoutCallback(PVOID slot, BOOLEAN fired);
