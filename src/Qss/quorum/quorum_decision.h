// The quorum decision: per PVM the quorum goes to at most one AM and stays
// with it until that AM releases it. A lone asker wins when its voting window
// closes; when both AMs ask within the window the higher health wins, AM1 on
// a tie. The grant is answered only once the registry holds it (see
// grant_commit.h); one that cannot be stored is withdrawn.
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

// Builds a voter's ACQUIRE_QUORUM_ACK, answering its pending request, into a
// QSS_MAX_PACKET_SIZE buffer (its lastReply, to keep it for retransmissions).
void qssBuildVoterAnswer(const QSS_AM_INFO* voter, DWORD status, BYTE* reply);
// Builds it into lastReply and sends it to the voter's address through its socket.
void qssAnswerVoter(QSS_AM_INFO* voter, DWORD status);
// Sends a durable grant's saved status 0; when a later reply has replaced it
// in lastReply, a copy that leaves the later one kept.
void qssSendGrantAnswer(QSS_AM_INFO* winner);

// A grant that cannot be made durable is no grant: reported (event
// 0xCC000014), undone in memory, its subkey deleted when it can be, and the
// winner answered ZEL_K_QS_STATUS_INTERNAL_ERROR. With qssInstanceLock held.
void qssWithdrawGrant(QSS_INSTANCE* record, QSS_AM_INFO* winner);
