#include "Qss/quorum/sequence_rule.h"

#include "Qss/config/parameters.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_table.h"

BOOL qssIsStaleRequest(QSS_AM_INFO* slot, const QSS_PACKET_HEADER* request, DWORD state)
{
    if (state == QSS_AM_STATE_RESEND) return FALSE;
    // An attach from an AM still seen online is no new start: it may itself be a late copy.
    BOOL freshAttach = request->packetType == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE &&
                       (state == QSS_AM_STATE_OFFLINE || state == QSS_AM_STATE_OFFLINE_HOLDING);
    if (!freshAttach && qssRequireIncreasingSequences && slot->bSequenceAccepted &&
        request->sequence < slot->acceptedSequence) {
        Qss_IncrementStat(&qssGuardStats.staleRequests);
        Qss_TracePrintf(QSS_TRACE_WARNINGS,
                        "Dropped stale request of type %u from AM%u: sequence %llu, last accepted %llu",
                        (DWORD)request->packetType, qssAmNumber(slot), request->sequence, slot->acceptedSequence);
        return TRUE;
    }
    slot->acceptedSequence = request->sequence;
    slot->bSequenceAccepted = 1;
    return FALSE;
}
