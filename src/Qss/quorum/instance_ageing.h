// Ageing of unused records, kept apart from the table so that a pass costs
// what the records that can age cost, not what the whole table costs.
//
// A record can age when both AMs are OFFLINE, neither holds the quorum and
// none of its timers is armed or can still call back. Such records wait in a
// queue ordered by the time from which they have been silent; a pass looks
// only at the front of the queue.
#pragma once

#include "Qss/quorum/instance.h"

// Re-examines a record after its state changed: queues it when it can age,
// takes it out of the queue when it cannot. Called with qssInstanceLock held
// wherever a record's flags, timers or ticks change.
void qssReviewInstanceAgeing(QSS_INSTANCE* record);

// Takes a record out of the queue before it is freed.
void qssForgetInstanceAgeing(QSS_INSTANCE* record);

// Empties the queue and frees its storage (at stop, with the table).
void qssResetInstanceAgeing(void);

// The current tick, extended to 64 bits so that queue order survives a wrap
// of the 32-bit counter. Called with qssInstanceLock held.
ULONGLONG qssExtendedTick(DWORD now);
