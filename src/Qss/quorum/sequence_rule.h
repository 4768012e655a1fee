// The optional rule against stale duplicates (RequireIncreasingSequences).
// UDP may deliver an old request late, after newer ones; by the
// retransmission rule alone such a copy is taken for a new request, so a
// delayed RELEASE_QUORUM could release a grant made after it. For peers whose
// sequences only grow, the server can tell: a request older than the last
// one its AM's slot accepted is dropped.
#pragma once

#include "Qss/net/packet.h"
#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// Called by each AM request handler, under qssInstanceLock, once the slot is
// classified (state from qssGetAmState). TRUE when the rule is on and the
// request is stale: its sequence is below the slot's last accepted one; it is
// counted and traced, and the handler drops it without a reply. A
// retransmission (state QSS_AM_STATE_RESEND) and the last accepted sequence
// itself are never stale. Otherwise the request's sequence becomes the
// slot's last accepted one; an ATTACH_INSTANCE that brings an OFFLINE AM
// online sets it whatever its value, so a restarted peer may begin anywhere.
BOOL qssIsStaleRequest(QSS_AM_INFO* slot, const QSS_PACKET_HEADER* request, DWORD state);
