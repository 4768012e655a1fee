// ATTACH_INSTANCE, DETACH_INSTANCE and QUERY_INSTANCE.
#include <cstring>

#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "Qss/quorum/handlers.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/quorum/keepalive.h"
#include "Qss/quorum/request_frame.h"
#include "Qss/quorum/sequence_rule.h"

// An OFFLINE AM (holding the quorum or not) comes ONLINE; returns the status.
static DWORD qssAttachOfflineAm(QSS_INSTANCE* record, QSS_AM_INFO* slot, BOOL created,
                                const QSS_ATTACH_INSTANCE_REQUEST* attach, const SOCKADDR_IN* source, SOCKET sock)
{
    if (!qssAnyAmOnline(record)) {
        qssServerInfo.activeInstanceCount++;
    }
    record->protocolRevision = attach->header.protocolRevision;
    record->instanceTimeout = attach->instanceTimeout;
    slot->bOnline = 1;
    slot->bVoting = 0;
    slot->keepaliveInterval = attach->keepaliveInterval;
    qssRefreshAmAddress(slot, source, sock, attach->amId);
    if (created) {
        Qss_TracePrintf(QSS_TRACE_INFO, "qssProcessAttachInstance: Initialized new instance");
        qssDumpInstance(record);
    }
    qssResetKeepaliveTimeoutTimer(slot);
    qssLogAmEvent(QSS_EVENT_AM_ATTACHED, slot, NULL);
    return ZEL_K_QS_STATUS_SUCCESS;
}

void qssProcessAttachInstance(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    const QSS_ATTACH_INSTANCE_REQUEST* attach = reinterpret_cast<const QSS_ATTACH_INSTANCE_REQUEST*>(request);
    BYTE reply[QSS_MAX_PACKET_SIZE] = {};
    QSS_INSTANCE* record = NULL;
    QSS_AM_INFO* slot = NULL;
    DWORD status = ZEL_K_QS_STATUS_SUCCESS;

    EnterCriticalSection(&qssInstanceLock);
    qssTraceRequest(request, source, QSS_TRACE_INFO, "Received ATTACH_INSTANCE packet", QSS_TRACE_LOUD);
    DWORD validation = qssValidateRequest(request, attach->amNumber);
    if (validation == QSS_REQUEST_BAD_VERSION) {
        LeaveCriticalSection(&qssInstanceLock);
        return;
    }
    if (validation != QSS_REQUEST_OK) {
        status = qssRejectionStatus(validation);
    } else {
        BOOL created = FALSE;
        record = qssFindInstance(attach->pvmId);
        if (record == NULL) {
            record = qssNewInstance(attach->pvmId, &status);
            created = record != NULL;
            if (record == NULL) {
                Qss_TracePrintf(QSS_TRACE_ERRORS, "qssNewInstance failed (%d) to create new instance.", (int)status);
            }
        }
        if (record != NULL) {
            slot = &record->am[attach->amNumber - 1];
            DWORD state = qssGetAmState(slot, request->sequence, qssReplyType(request->packetType));
            if (qssIsStaleRequest(slot, request, state)) {
                LeaveCriticalSection(&qssInstanceLock);
                return;
            }
            switch (state) {
            case QSS_AM_STATE_RESEND:
                qssResetKeepaliveTimeoutTimer(slot);
                Qss_TracePrintf(QSS_TRACE_WARNINGS, "Resend ATTACH_INSTANCE reply packet");
                qssResendReply(slot, source, sock, FALSE);
                LeaveCriticalSection(&qssInstanceLock);
                return;
            case QSS_AM_STATE_OFFLINE:
            case QSS_AM_STATE_OFFLINE_HOLDING:
                status = qssAttachOfflineAm(record, slot, created, attach, source, sock);
                break;
            case QSS_AM_STATE_ONLINE:
            case QSS_AM_STATE_ONLINE_HOLDING: {
                // Already attached: only the timer moves; the address stays the one first seen.
                Qss_TracePrintf(QSS_TRACE_ERRORS, "Received ATTACH_INSTANCE request from ONLINE or ONLINE_HOLDING AM");
                DWORD since = qssGetTick() - slot->lastKeepaliveTick;
                qssResetKeepaliveTimeoutTimer(slot);
                qssLogAmEvent(QSS_EVENT_ATTACH_ALREADY_ONLINE, slot, &since);
                break;
            }
            case QSS_AM_STATE_ONLINE_VOTING:
                Qss_TracePrintf(QSS_TRACE_ERRORS, "Received ATTACH_INSTANCE request from ONLINE_VOTING AM");
                status = ZEL_K_QS_STATUS_VOTING;
                break;
            default:
                status = ZEL_K_QS_STATUS_INTERNAL_ERROR;
                break;
            }
        }
    }
    qssBuildReply(reply, request, request->protocolRevision, sizeof(QSS_STATUS_REPLY), status);
    qssSaveAndSendReply(slot, reply, source, sock, FALSE);
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
}

void qssProcessDetachInstance(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    const QSS_AM_REQUEST* detach = reinterpret_cast<const QSS_AM_REQUEST*>(request);
    BYTE reply[QSS_MAX_PACKET_SIZE] = {};
    QSS_INSTANCE* record = NULL;
    QSS_AM_INFO* slot = NULL;
    DWORD status = ZEL_K_QS_STATUS_SUCCESS;

    EnterCriticalSection(&qssInstanceLock);
    qssTraceRequest(request, source, QSS_TRACE_INFO, "Received DETACH_INSTANCE packet", QSS_TRACE_LOUD);
    DWORD validation = qssValidateRequest(request, detach->amNumber);
    if (validation == QSS_REQUEST_BAD_VERSION) {
        LeaveCriticalSection(&qssInstanceLock);
        return;
    }
    if (validation != QSS_REQUEST_OK) {
        status = qssRejectionStatus(validation);
    } else if ((record = qssFindInstance(detach->pvmId)) == NULL) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Received DETACH_INSTANCE from non-attached AM");
        status = ZEL_K_QS_STATUS_NOT_ATTACHED;
    } else {
        slot = &record->am[detach->amNumber - 1];
        DWORD state = qssGetAmState(slot, request->sequence, qssReplyType(request->packetType));
        if (qssIsStaleRequest(slot, request, state)) {
            LeaveCriticalSection(&qssInstanceLock);
            return;
        }
        switch (state) {
        case QSS_AM_STATE_RESEND:
            Qss_TracePrintf(QSS_TRACE_WARNINGS, "Resend DETACH_INSTANCE reply packet");
            qssResendReply(slot, source, sock, FALSE);
            LeaveCriticalSection(&qssInstanceLock);
            return;
        case QSS_AM_STATE_OFFLINE:
        case QSS_AM_STATE_OFFLINE_HOLDING:
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Received DETACH_INSTANCE from non-attached AM");
            status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            break;
        case QSS_AM_STATE_ONLINE:
        case QSS_AM_STATE_ONLINE_HOLDING:
            // A holder keeps the quorum while OFFLINE, until it releases it.
            slot->bOnline = 0;
            if (slot->hInstanceTimeout != NULL) {
                qssDeleteKeepaliveTimeoutTimer(slot, "qssProcessDetachInstance", 3634);
            }
            qssRefreshAmAddress(slot, source, sock, detach->amId);
            if (!qssAnyAmOnline(record)) {
                qssServerInfo.activeInstanceCount--;
            }
            qssLogAmEvent(QSS_EVENT_AM_DETACHED, slot, NULL);
            break;
        case QSS_AM_STATE_ONLINE_VOTING:
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Received DETACH_INSTANCE in voting.");
            status = ZEL_K_QS_STATUS_VOTING;
            break;
        default:
            status = ZEL_K_QS_STATUS_INTERNAL_ERROR;
            break;
        }
    }
    qssBuildReply(reply, request, record ? record->protocolRevision : request->protocolRevision,
                  sizeof(QSS_STATUS_REPLY), status);
    qssSaveAndSendReply(slot, reply, source, sock, FALSE);
    qssReviewInstanceAgeing(record);
    LeaveCriticalSection(&qssInstanceLock);
}

void qssProcessQueryInstance(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    const QSS_QUERY_INSTANCE_REQUEST* query = reinterpret_cast<const QSS_QUERY_INSTANCE_REQUEST*>(request);
    BYTE reply[QSS_MAX_PACKET_SIZE] = {};
    QSS_INSTANCE* record = NULL;
    DWORD status = ZEL_K_QS_STATUS_SUCCESS;

    EnterCriticalSection(&qssInstanceLock);
    qssTraceRequest(request, source, QSS_TRACE_VERBOSE, "Received QUERY_INSTANCE packet", QSS_TRACE_VERBOSE);
    DWORD validation = qssValidateQueryRequest(request);
    if (validation == QSS_REQUEST_BAD_VERSION) {
        LeaveCriticalSection(&qssInstanceLock);
        return;
    }
    if (validation != QSS_REQUEST_OK) {
        status = qssRejectionStatus(validation);
    } else {
        record = qssFindInstance(query->pvmId);
        // A record nobody is attached to is answered as if there were none.
        if (record == NULL || !qssAnyAmOnline(record)) {
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Received QUERY_INSTANCE from non-attached AM");
            status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            record = NULL;
        }
    }
    qssBuildReply(reply, request, record ? record->protocolRevision : request->protocolRevision,
                  sizeof(QSS_QUERY_INSTANCE_REPLY), status);
    QSS_QUERY_INSTANCE_REPLY* body = reinterpret_cast<QSS_QUERY_INSTANCE_REPLY*>(reply);
    memcpy(body->pvmId, query->pvmId, QSS_PVM_ID_SIZE);
    if (record != NULL) {
        body->am1Address = record->am[0].ipAddress;
        body->am1Port = record->am[0].port;
        body->am1Online = record->am[0].bOnline;
        body->am1Hold = record->am[0].bHold;
        body->am2Address = record->am[1].ipAddress;
        body->am2Port = record->am[1].port;
        body->am2Online = record->am[1].bOnline;
        body->am2Hold = record->am[1].bHold;
        body->instanceKnown = 1;
    }
    qssSaveAndSendReply(NULL, reply, source, sock, TRUE);
    LeaveCriticalSection(&qssInstanceLock);
}
