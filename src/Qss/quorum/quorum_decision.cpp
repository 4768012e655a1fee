// ACQUIRE_QUORUM, RELEASE_QUORUM and the quorum decision.
#include "Qss/quorum/quorum_decision.h"

#include <cstring>

#include "Qss/config/pvm_id.h"
#include "Qss/diag/diag.h"
#include "Qss/net/packet_dump.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/grant_commit.h"
#include "Qss/quorum/handlers.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/quorum/instance_timer.h"
#include "Qss/quorum/keepalive.h"
#include "Qss/quorum/request_frame.h"
#include "Qss/quorum/sequence_rule.h"

namespace {

// How an AM appears in the events of this file.
struct QSS_AM_TEXT {
    char number[12];
    char address[16];
    char amId[QSS_AM_ID_SIZE];
};

// addressFormat prints the four address bytes; amIdField may lack its NUL.
void qssDescribeAm(const QSS_AM_INFO* slot, const char* addressFormat, const char* amIdField, QSS_AM_TEXT* text)
{
    const BYTE* ip = reinterpret_cast<const BYTE*>(&slot->ipAddress);
    StringCbPrintfA(text->number, sizeof(text->number), "%u", qssAmNumber(slot));
    StringCbPrintfA(text->address, sizeof(text->address), addressFormat, ip[0], ip[1], ip[2], ip[3]);
    qssCopyAmId(text->amId, amIdField);
}

void qssGuidText(const QSS_INSTANCE* record, char* guid)
{
    guid[0] = '\0';
    Qss_PvmIdToGuidString(record->pvmId, QSS_GUID_STRING_SIZE, guid);
}

// An event about a RELEASE_QUORUM: AM number, address, identity from the
// request and PVM GUID text, with the request as data.
void qssLogReleaseEvent(DWORD eventId, const QSS_AM_INFO* slot, const QSS_AM_REQUEST* release)
{
    QSS_AM_TEXT am;
    qssDescribeAm(slot, "%u.%u.%u.%u", release->amId, &am);
    char guid[QSS_GUID_STRING_SIZE];
    qssGuidText(slot->pInstance, guid);
    LPCSTR strings[4] = {am.number, am.address, am.amId, guid};
    Qss_LogEvent(eventId, 4, strings, sizeof(QSS_AM_REQUEST), release);
}

void qssLogRefusedPartnerHolds(const QSS_AM_INFO* slot, const QSS_AM_INFO* partner,
                               const QSS_ACQUIRE_QUORUM_REQUEST* acquire)
{
    QSS_AM_TEXT am;
    QSS_AM_TEXT holder;
    qssDescribeAm(slot, "%u.%u.%u.%u", acquire->amId, &am);
    qssDescribeAm(partner, "%u.%u.%u.%u", partner->amId, &holder);
    char guid[QSS_GUID_STRING_SIZE];
    qssGuidText(slot->pInstance, guid);
    LPCSTR strings[7] = {am.number, am.address, am.amId, holder.number, holder.address, holder.amId, guid};
    Qss_LogEvent(QSS_EVENT_QUORUM_REFUSED_PARTNER_HOLDS, 7, strings, sizeof(QSS_ACQUIRE_QUORUM_REQUEST), acquire);
}

void qssLogGranted(const QSS_INSTANCE* record, const QSS_AM_INFO* winner, const char* guid)
{
    QSS_AM_TEXT am;
    qssDescribeAm(winner, "%u.%u.%u.%u", winner->amId, &am);
    char health1[24];
    char health2[24];
    StringCbPrintfA(health1, sizeof(health1), "0x%llX", record->am[0].health);
    StringCbPrintfA(health2, sizeof(health2), "0x%llX", record->am[1].health);
    LPCSTR strings[6] = {am.number, am.address, am.amId, guid, health1, health2};
    Qss_LogEvent(QSS_EVENT_QUORUM_GRANTED, 6, strings, sizeof(QSS_INSTANCE), record);
}

void qssLogGrantNotPersisted(const QSS_INSTANCE* record, const QSS_AM_INFO* winner, const char* guid)
{
    Qss_TracePrintf(QSS_TRACE_ERRORS, "Error writing persistent data for PVM UUID: %s", guid);
    QSS_AM_TEXT am;
    qssDescribeAm(winner, "%d.%d.%d.%d", winner->amId, &am);
    LPCSTR strings[4] = {guid, am.number, am.address, am.amId};
    Qss_LogEvent(QSS_EVENT_GRANT_NOT_PERSISTED, 4, strings, sizeof(QSS_INSTANCE), record);
}

// X starts or joins the vote; the answer comes from the decision.
void qssVote(QSS_INSTANCE* record, QSS_AM_INFO* slot, QSS_AM_INFO* partner, const QSS_ACQUIRE_QUORUM_REQUEST* acquire)
{
    slot->bVoting = 1;
    slot->health = acquire->health;
    slot->acquireSequence = acquire->header.sequence;
    if (!partner->bVoting) {
        partner->health = 0;
        if (!qssArmInstanceTimer(record, record, qssQuorumTimeoutCallback, acquire->quorumTimeout,
                                 &record->hQuorumTimeout, &record->pQuorumTimeoutTicket)) {
            Qss_LogWin32Error("qssProcessAcquireQuorum", 4665, "CreateTimerQueueTimer", (int)GetLastError(), 0);
            // Without its timer the vote would wait for a partner that may never ask.
            slot->bVoting = 0;
            qssAnswerVoter(slot, ZEL_K_QS_STATUS_INTERNAL_ERROR);
        }
        return;
    }
    // The partner asked within its window: decide now; a timer callback
    // already waiting for the lock then finds no timer and does nothing.
    qssDeleteQuorumTimeoutTimer(record, "qssProcessAcquireQuorum", 4683);
    qssQuorumTimeoutCallback(record, FALSE);
}

// The holder gives the quorum back: its persisted state goes, then the grant.
void qssReleaseHeld(QSS_INSTANCE* record, QSS_AM_INFO* slot, const QSS_AM_REQUEST* release)
{
    char subKey[QSS_PERSISTENT_SUBKEY_SIZE];
    if (!Qss_PvmIdToPersistentStateSubKey(record->pvmId, sizeof(subKey), subKey)) {
        Qss_LogInternalError("qssProcessReleaseQuorum", 5009);
    } else if (qssDeleteGrantState(record, subKey) == ERROR_SUCCESS) {
        Qss_TracePrintf(QSS_TRACE_LOUD, "Deleted persistent state information for PVM key: %s", subKey);
    } else {
        QSS_AM_TEXT am;
        qssDescribeAm(slot, "%d.%d.%d.%d", release->amId, &am);
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Error deleting persistent data for PVM key: %s", subKey);
        Qss_TracePrintf(QSS_TRACE_ERRORS, "AM%u ID: %s", (DWORD)release->amNumber, am.amId);
        char guid[QSS_GUID_STRING_SIZE];
        qssGuidText(record, guid);
        LPCSTR strings[5] = {subKey, am.number, am.address, am.amId, guid};
        Qss_LogEvent(QSS_EVENT_RELEASE_DELETE_FAILED, 5, strings, sizeof(QSS_AM_REQUEST), release);
    }
    slot->bHold = 0;
    slot->bAwaitingDisk = 0; // a grant it never heard of is not answered after all
    qssLogReleaseEvent(QSS_EVENT_QUORUM_RELEASED, slot, release);
    memset(&record->systemTimeAcquired, 0, sizeof(record->systemTimeAcquired));
}

// The frame's first steps for a quorum request, with qssInstanceLock taken:
// the receive trace, the validation and the lookup. FALSE when the request
// gets no reply at all (the lock is then left). Otherwise *record is the
// PVM's, or NULL with *status saying why the request is refused.
BOOL qssBeginQuorumRequest(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, const char* receivedText,
                           const char* notAttachedText, DWORD amNumber, const BYTE* pvmId, QSS_INSTANCE** record,
                           DWORD* status)
{
    EnterCriticalSection(&qssInstanceLock);
    qssTraceRequest(request, source, QSS_TRACE_INFO, receivedText, QSS_TRACE_LOUD);
    *record = NULL;
    *status = ZEL_K_QS_STATUS_SUCCESS;
    DWORD validation = qssValidateRequest(request, amNumber);
    if (validation == QSS_REQUEST_BAD_VERSION) {
        LeaveCriticalSection(&qssInstanceLock);
        return FALSE;
    }
    if (validation != QSS_REQUEST_OK) {
        *status = qssRejectionStatus(validation);
    } else if ((*record = qssFindInstance(pvmId)) == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "%s", notAttachedText);
        *status = ZEL_K_QS_STATUS_NOT_ATTACHED;
    }
    return TRUE;
}

// Leaves the lock after the record may have changed.
void qssEndQuorumRequest(QSS_INSTANCE* record)
{
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
}

// The frame's last steps: the reply with this status, kept in the slot when
// there is one, sent to the request's source; then the lock is left.
void qssAnswerQuorumRequest(const QSS_PACKET_HEADER* request, QSS_INSTANCE* record, QSS_AM_INFO* slot, DWORD status,
                            const SOCKADDR_IN* source, SOCKET sock)
{
    BYTE reply[QSS_MAX_PACKET_SIZE] = {};
    qssBuildReply(reply, request, record ? record->protocolRevision : request->protocolRevision,
                  sizeof(QSS_STATUS_REPLY), status);
    qssSaveAndSendReply(slot, reply, source, sock, FALSE);
    qssEndQuorumRequest(record);
}

}  // namespace

void qssBuildVoterAnswer(const QSS_AM_INFO* voter, DWORD status, BYTE* reply)
{
    memset(reply, 0, QSS_MAX_PACKET_SIZE);
    QSS_STATUS_REPLY* ack = reinterpret_cast<QSS_STATUS_REPLY*>(reply);
    ack->header.protocolRevision = voter->pInstance->protocolRevision;
    ack->header.length = sizeof(QSS_STATUS_REPLY);
    ack->header.signature = QSS_PACKET_SIGNATURE;
    ack->header.packetType = ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK;
    ack->header.sequence = voter->acquireSequence;
    ack->status = status;
}

void qssAnswerVoter(QSS_AM_INFO* voter, DWORD status)
{
    qssBuildVoterAnswer(voter, status, voter->lastReply);
    qssResendReply(voter, &voter->amAddr, voter->sock, TRUE);
}

void qssSendGrantAnswer(QSS_AM_INFO* winner)
{
    const QSS_PACKET_HEADER* saved = reinterpret_cast<const QSS_PACKET_HEADER*>(winner->lastReply);
    if (saved->packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK && saved->sequence == winner->acquireSequence) {
        qssResendReply(winner, &winner->amAddr, winner->sock, TRUE);
        return;
    }
    // A later reply has been saved since the decision: it stays the one kept.
    BYTE reply[QSS_MAX_PACKET_SIZE];
    qssBuildVoterAnswer(winner, ZEL_K_QS_STATUS_SUCCESS, reply);
    qssSendToAm(reinterpret_cast<QSS_PACKET_HEADER*>(reply), &winner->amAddr, winner->sock, TRUE);
}

void qssWithdrawGrant(QSS_INSTANCE* record, QSS_AM_INFO* winner)
{
    char guid[QSS_GUID_STRING_SIZE];
    qssGuidText(record, guid);
    qssLogGrantNotPersisted(record, winner, guid);
    winner->bHold = 0;
    winner->bAwaitingDisk = 0;
    memset(&record->systemTimeAcquired, 0, sizeof(record->systemTimeAcquired));
    // What was written of it must not make it the holder at the next start.
    char subKey[QSS_PERSISTENT_SUBKEY_SIZE];
    if (Qss_PvmIdToPersistentStateSubKey(record->pvmId, sizeof(subKey), subKey)) {
        qssDeleteGrantState(record, subKey);
    }
    qssAnswerVoter(winner, ZEL_K_QS_STATUS_INTERNAL_ERROR);
    qssReviewInstanceAgeing(record);
}

void qssDeleteQuorumTimeoutTimer(QSS_INSTANCE* record, const char* caller, DWORD line)
{
    if (qssHTimerQueue == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "qssDeleteQuorumTimeoutTimer: Called with NULL qssHTimerQueue");
        return;
    }
    if (record->hQuorumTimeout == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "qssDeleteQuorumTimeoutTimer: Called with NULL hQuorumTimeout");
        return;
    }
    DWORD error = qssDisarmInstanceTimer(record, &record->hQuorumTimeout, &record->pQuorumTimeoutTicket);
    if (error != 0 && error != ERROR_IO_PENDING) {
        Qss_LogWin32Error(caller, line, "DeleteTimerQueueTimer", (int)error, 0);
    }
}

void qssQuorumTimeoutCallback(PVOID parameter, BOOLEAN fired)
{
    QSS_INSTANCE* record = static_cast<QSS_INSTANCE*>(parameter);
    EnterCriticalSection(&qssInstanceLock);
    if (fired) {
        // No timer: the partner's request has decided while this waited for the lock.
        if (record->hQuorumTimeout == NULL) {
            LeaveCriticalSection(&qssInstanceLock);
            return;
        }
        qssDeleteQuorumTimeoutTimer(record, "qssQuorumTimeoutCallback", 5504);
    }
    QSS_AM_INFO* am1 = &record->am[0];
    QSS_AM_INFO* am2 = &record->am[1];
    if (!am1->bVoting && !am2->bVoting) {
        LeaveCriticalSection(&qssInstanceLock);
        return;
    }
    QSS_AM_INFO* winner;
    if (am1->bVoting && am2->bVoting) {
        winner = am1->health >= am2->health ? am1 : am2; // unsigned 64-bit; AM1 wins a tie
    } else {
        winner = am1->bVoting ? am1 : am2;
    }
    QSS_AM_INFO* loser = winner == am1 ? am2 : am1;

    char guid[QSS_GUID_STRING_SIZE];
    qssGuidText(record, guid);
    qssLogGranted(record, winner, guid);
    winner->bHold = 1;
    winner->bVoting = 0;
    qssResetKeepaliveTimeoutTimer(winner);
    // The winner hears of its grant only once the registry holds it; denying needs no disk.
    GetSystemTime(&record->systemTimeAcquired);
    qssBuildVoterAnswer(winner, ZEL_K_QS_STATUS_SUCCESS, winner->lastReply);
    if (!qssCommitGrant(record, winner)) qssWithdrawGrant(record, winner);
    if (loser->bVoting) {
        loser->bHold = 0;
        loser->bVoting = 0;
        qssResetKeepaliveTimeoutTimer(loser);
        qssAnswerVoter(loser, ZEL_K_QS_STATUS_QUORUM_DENIED);
    }
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
}

void qssProcessAcquireQuorum(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    const QSS_ACQUIRE_QUORUM_REQUEST* acquire = reinterpret_cast<const QSS_ACQUIRE_QUORUM_REQUEST*>(request);
    QSS_INSTANCE* record;
    DWORD status;
    if (!qssBeginQuorumRequest(request, source, "Received ACQUIRE_QUORUM packet",
                               "Received ACQUIRE_QUORUM request from non-attached AM", acquire->amNumber,
                               acquire->pvmId, &record, &status)) {
        return;
    }
    if (record == NULL) {
        qssAnswerQuorumRequest(request, NULL, NULL, status, source, sock);
        return;
    }
    QSS_AM_INFO* slot = &record->am[acquire->amNumber - 1];
    QSS_AM_INFO* partner = &record->am[2 - acquire->amNumber];
    DWORD state = qssGetAmState(slot, request->sequence, qssReplyType(request->packetType));
    if (qssIsStaleRequest(slot, request, state)) {
        qssEndQuorumRequest(record);
        return;
    }
    if (slot->bAwaitingDisk && (request->sequence == slot->acquireSequence || slot->bOnline)) {
        // Granted, but not durable yet: the commit answers the pending request.
        if (slot->bOnline) {
            qssResetKeepaliveTimeoutTimer(slot);
            qssRefreshAmAddress(slot, source, sock, acquire->amId);
        }
        if (request->sequence == slot->acquireSequence) {
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Received retry ACQUIRE_QUORUM in acquiring");
            qssEndQuorumRequest(record);
            return;
        }
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Received ACQUIRE_QUORUM in acquiring");
        qssAnswerQuorumRequest(request, record, slot, ZEL_K_QS_STATUS_VOTING, source, sock);
        return;
    }
    switch (state) {
    case QSS_AM_STATE_RESEND:
        // Also how a lost deferred answer reaches its AM: the decision saved it.
        qssResetKeepaliveTimeoutTimer(slot);
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Resend ACQUIRE_QUORUM reply packet");
        qssResendReply(slot, source, sock, FALSE);
        qssEndQuorumRequest(record);
        return;
    case QSS_AM_STATE_OFFLINE:
    case QSS_AM_STATE_OFFLINE_HOLDING:
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Received ACQUIRE_QUORUM request from non-attached AM");
        status = ZEL_K_QS_STATUS_NOT_ATTACHED;
        break;
    case QSS_AM_STATE_ONLINE:
        qssResetKeepaliveTimeoutTimer(slot);
        qssRefreshAmAddress(slot, source, sock, acquire->amId);
        if (partner->bHold) {
            qssLogRefusedPartnerHolds(slot, partner, acquire);
            status = ZEL_K_QS_STATUS_QUORUM_DENIED;
            break;
        }
        qssVote(record, slot, partner, acquire);
        qssEndQuorumRequest(record);
        if (qssTraceFlags & QSS_TRACE_CONSOLE) qssDumpPacket(request, source);
        return;
    case QSS_AM_STATE_ONLINE_HOLDING:
        qssResetKeepaliveTimeoutTimer(slot);
        qssRefreshAmAddress(slot, source, sock, acquire->amId);
        status = ZEL_K_QS_STATUS_ALREADY_HOLDING;
        break;
    case QSS_AM_STATE_ONLINE_VOTING:
        if (request->sequence == slot->acquireSequence) {
            // The pending request again: the decision answers it.
            qssResetKeepaliveTimeoutTimer(slot);
            qssRefreshAmAddress(slot, source, sock, acquire->amId);
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Received retry ACQUIRE_QUORUM in acquiring");
            qssEndQuorumRequest(record);
            return;
        }
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Received ACQUIRE_QUORUM in acquiring");
        status = ZEL_K_QS_STATUS_VOTING;
        break;
    default:
        status = ZEL_K_QS_STATUS_INTERNAL_ERROR;
        break;
    }
    qssAnswerQuorumRequest(request, record, slot, status, source, sock);
}

void qssProcessReleaseQuorum(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    const QSS_AM_REQUEST* release = reinterpret_cast<const QSS_AM_REQUEST*>(request);
    QSS_INSTANCE* record;
    DWORD status;
    if (!qssBeginQuorumRequest(request, source, "Received RELEASE_QUORUM packet",
                               "Received RELEASE_QUORUM request from non-attached AM", release->amNumber,
                               release->pvmId, &record, &status)) {
        return;
    }
    if (record == NULL) {
        qssAnswerQuorumRequest(request, NULL, NULL, status, source, sock);
        return;
    }
    QSS_AM_INFO* slot = &record->am[release->amNumber - 1];
    DWORD state = qssGetAmState(slot, request->sequence, qssReplyType(request->packetType));
    if (qssIsStaleRequest(slot, request, state)) {
        qssEndQuorumRequest(record);
        return;
    }
    switch (state) {
    case QSS_AM_STATE_RESEND:
        qssResetKeepaliveTimeoutTimer(slot);
        Qss_TracePrintf(QSS_TRACE_WARNINGS, "Resend RELEASE_QUORUM reply packet");
        qssResendReply(slot, source, sock, FALSE);
        qssEndQuorumRequest(record);
        return;
    case QSS_AM_STATE_OFFLINE:
    case QSS_AM_STATE_OFFLINE_HOLDING:
        // An OFFLINE holder attaches before it can release.
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Received RELEASE_QUORUM from non-attached AM");
        status = ZEL_K_QS_STATUS_NOT_ATTACHED;
        break;
    case QSS_AM_STATE_ONLINE:
        qssResetKeepaliveTimeoutTimer(slot);
        qssRefreshAmAddress(slot, source, sock, release->amId);
        qssLogReleaseEvent(QSS_EVENT_RELEASE_NOT_HOLDING, slot, release);
        status = ZEL_K_QS_STATUS_NOT_HOLDING;
        break;
    case QSS_AM_STATE_ONLINE_HOLDING:
        qssResetKeepaliveTimeoutTimer(slot);
        qssRefreshAmAddress(slot, source, sock, release->amId);
        qssReleaseHeld(record, slot, release);
        break;
    case QSS_AM_STATE_ONLINE_VOTING:
        qssResetKeepaliveTimeoutTimer(slot);
        qssRefreshAmAddress(slot, source, sock, release->amId);
        qssLogReleaseEvent(QSS_EVENT_RELEASE_WHILE_VOTING, slot, release);
        status = ZEL_K_QS_STATUS_VOTING;
        break;
    default:
        status = ZEL_K_QS_STATUS_INTERNAL_ERROR;
        break;
    }
    qssAnswerQuorumRequest(request, record, slot, status, source, sock);
}
