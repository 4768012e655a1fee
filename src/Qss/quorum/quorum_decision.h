// The quorum decision: per PVM the quorum goes to at most one AM and stays
// with it until that AM releases it. A lone asker wins when its voting window
// closes; when both AMs ask within the window the higher health wins, AM1 on
// a tie. The grant is written to the registry before it is answered.
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// Decides the vote of the record (a QSS_INSTANCE). As the quorum timer's
// callback it runs on a timer-queue thread with fired TRUE; the ACQUIRE_QUORUM
// handler calls it directly, holding qssInstanceLock, with fired FALSE.
void qssQuorumTimeoutCallback(PVOID record, BOOLEAN fired);

// Deletes the record's quorum timer without waiting and forgets it; caller and
// line only label the error report. Called with qssInstanceLock held.
void qssDeleteQuorumTimeoutTimer(QSS_INSTANCE* record, const char* caller, DWORD line);
