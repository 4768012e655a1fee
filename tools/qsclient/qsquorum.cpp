#include "qsquorum.h"

#include <cstring>

#include "qsclient.h"

void QsBuildAcquireQuorum(QSS_ACQUIRE_QUORUM_REQUEST* request, ULONGLONG sequence, const BYTE* pvmId,
                          uint32_t amNumber, uint32_t quorumTimeout, ULONGLONG health, const QS_TARGET* target,
                          const char* amId)
{
    memset(request, 0, sizeof(*request));
    memcpy(request->pvmId, pvmId, QSS_PVM_ID_SIZE);
    request->amNumber = amNumber;
    request->quorumTimeout = quorumTimeout;
    request->health = health;
    memcpy(request->serverIdentity.hostName, target->hostName, sizeof(request->serverIdentity.hostName));
    memcpy(request->serverIdentity.serverId, target->serverId, sizeof(request->serverIdentity.serverId));
    strncpy(request->amId, amId, sizeof(request->amId) - 1);
    QsSealRequest(&request->header, ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM, sizeof(*request), sequence,
                  QSS_PROTOCOL_REVISION);
}
