#include "Qss/quorum/keepalive.h"

#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/handlers.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/quorum/instance_timer.h"
#include "Qss/quorum/request_frame.h"
#include "Qss/quorum/sequence_rule.h"

namespace {

// Replaces the slot's timer by one due after dueTime ms; the last arming's tick is the caller's.
void qssArmKeepaliveTimeoutTimer(QSS_AM_INFO* slot, DWORD dueTime)
{
    if (slot->hInstanceTimeout != NULL) {
        qssDeleteKeepaliveTimeoutTimer(slot, "qssResetKeepaliveTimeoutTimer", 5242);
    }
    if (!qssArmInstanceTimer(slot->pInstance, slot, qssKeepaliveTimeoutCallback, dueTime, &slot->hInstanceTimeout,
                             &slot->pInstanceTimeoutTicket)) {
        Qss_LogWin32Error("qssResetKeepaliveTimeoutTimer", 5259, "CreateTimerQueueTimer", (int)GetLastError(), 0);
    }
}

}  // namespace

void qssResetKeepaliveTimeoutTimer(QSS_AM_INFO* slot)
{
    EnterCriticalSection(&qssInstanceLock);
    qssArmKeepaliveTimeoutTimer(slot, slot->pInstance->instanceTimeout);
    slot->lastKeepaliveTick = qssGetTick();
    LeaveCriticalSection(&qssInstanceLock);
}

void qssDeleteKeepaliveTimeoutTimer(QSS_AM_INFO* slot, const char* caller, DWORD line)
{
    if (qssHTimerQueue == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "qssDeleteKeepaliveTimeoutTimer: Called with NULL qssHTimerQueue");
        return;
    }
    if (slot->hInstanceTimeout == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "qssDeleteKeepaliveTimeoutTimer: Called with NULL hInstanceTimeout");
        return;
    }
    DWORD error = qssDisarmInstanceTimer(slot->pInstance, &slot->hInstanceTimeout, &slot->pInstanceTimeoutTicket);
    if (error != 0 && error != ERROR_IO_PENDING) {
        Qss_LogWin32Error(caller, line, "DeleteTimerQueueTimer", (int)error, 0);
    }
}

void qssKeepaliveTimeoutCallback(PVOID parameter, BOOLEAN)
{
    QSS_AM_INFO* slot = static_cast<QSS_AM_INFO*>(parameter);
    QSS_INSTANCE* record = slot->pInstance;

    EnterCriticalSection(&qssInstanceLock);
    DWORD since = qssGetTick() - slot->lastKeepaliveTick;
    // Early: the partner's attach raised the timeout after this timer was
    // armed. Wait for the rest of the current timeout since the last arming,
    // or a silent AM would never time out.
    if (since < record->instanceTimeout / 2) {
        if (slot->bOnline && slot->hInstanceTimeout != NULL) {
            qssArmKeepaliveTimeoutTimer(slot, record->instanceTimeout - since);
        }
        LeaveCriticalSection(&qssInstanceLock);
        return;
    }
    switch (qssGetAmState(slot, ~0ull, 0)) {
    case QSS_AM_STATE_OFFLINE:
    case QSS_AM_STATE_OFFLINE_HOLDING:
        break;
    case QSS_AM_STATE_ONLINE_VOTING:
        // A voter never times out; the decision re-arms its timer.
        qssResetKeepaliveTimeoutTimer(slot);
        Qss_TracePrintf(QSS_TRACE_WARNINGS, "Keepalive timeout while ONLINE_VOTING");
        break;
    default:
        qssLogAmEvent(QSS_EVENT_KEEPALIVE_TIMEOUT, slot, &since);
        slot->bOnline = 0;
        if (slot->hInstanceTimeout != NULL) {
            qssDeleteKeepaliveTimeoutTimer(slot, "qssKeepaliveTimeoutCallback", 5408);
        }
        if (!qssAnyAmOnline(record)) {
            qssServerInfo.activeInstanceCount--;
        }
        break;
    }
    LeaveCriticalSection(&qssInstanceLock);
}

void qssProcessKeepalive(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    const QSS_AM_REQUEST* keepalive = reinterpret_cast<const QSS_AM_REQUEST*>(request);
    BYTE reply[QSS_MAX_PACKET_SIZE] = {};
    QSS_INSTANCE* record = NULL;
    QSS_AM_INFO* slot = NULL;
    DWORD status = ZEL_K_QS_STATUS_SUCCESS;
    DWORD sinceAm1 = QSS_KEEPALIVE_AGE_UNKNOWN;
    DWORD sinceAm2 = QSS_KEEPALIVE_AGE_UNKNOWN;

    EnterCriticalSection(&qssInstanceLock);
    qssTraceRequest(request, source, QSS_TRACE_VERBOSE, "Received KEEP_ALIVE packet", QSS_TRACE_VERBOSE);
    DWORD validation = qssValidateRequest(request, keepalive->amNumber);
    if (validation == QSS_REQUEST_BAD_VERSION) {
        LeaveCriticalSection(&qssInstanceLock);
        return;
    }
    if (validation != QSS_REQUEST_OK) {
        status = qssRejectionStatus(validation);
    } else if ((record = qssFindInstance(keepalive->pvmId)) == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Received KEEP_ALIVE from non-attached AM");
        status = ZEL_K_QS_STATUS_NOT_ATTACHED;
    } else {
        slot = &record->am[keepalive->amNumber - 1];
        DWORD state = qssGetAmState(slot, request->sequence, qssReplyType(request->packetType));
        if (qssIsStaleRequest(slot, request, state)) {
            LeaveCriticalSection(&qssInstanceLock);
            return;
        }
        switch (state) {
        case QSS_AM_STATE_RESEND:
            Qss_TracePrintf(QSS_TRACE_WARNINGS, "Resend KEEP_ALIVE reply packet");
            qssResendReply(slot, source, sock, TRUE);
            LeaveCriticalSection(&qssInstanceLock);
            return;
        case QSS_AM_STATE_OFFLINE:
        case QSS_AM_STATE_OFFLINE_HOLDING:
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Received KEEP_ALIVE from non-attached AM");
            status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            break;
        case QSS_AM_STATE_ONLINE:
        case QSS_AM_STATE_ONLINE_HOLDING:
        case QSS_AM_STATE_ONLINE_VOTING: {
            // Both figures before the sender's timer is re-armed.
            DWORD now = qssGetTick();
            sinceAm1 = now - record->am[0].lastKeepaliveTick;
            sinceAm2 = now - record->am[1].lastKeepaliveTick;
            qssResetKeepaliveTimeoutTimer(slot);
            qssRefreshAmAddress(slot, source, sock, keepalive->amId);
            break;
        }
        default:
            status = ZEL_K_QS_STATUS_INTERNAL_ERROR;
            break;
        }
    }
    if (status != ZEL_K_QS_STATUS_SUCCESS) {
        sinceAm1 = QSS_KEEPALIVE_AGE_UNKNOWN;
        sinceAm2 = QSS_KEEPALIVE_AGE_UNKNOWN;
    }
    qssBuildReply(reply, request, record ? record->protocolRevision : request->protocolRevision,
                  sizeof(QSS_KEEPALIVE_REPLY), status);
    QSS_KEEPALIVE_REPLY* body = reinterpret_cast<QSS_KEEPALIVE_REPLY*>(reply);
    body->sinceLastKeepaliveAm1 = sinceAm1;
    body->sinceLastKeepaliveAm2 = sinceAm2;
    // Only a success is kept: a refused keepalive sent again is judged afresh.
    qssSaveAndSendReply(status == ZEL_K_QS_STATUS_SUCCESS ? slot : NULL, reply, source, sock, TRUE);
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
}
