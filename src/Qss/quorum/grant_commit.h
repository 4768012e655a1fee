// The commit of grants: a grant is answered only once the registry holds it.
//
// The decision writes a grant's values and saves the winner's ACK under
// qssInstanceLock, and hands the grant over here. One commit thread takes
// every grant waiting, makes them all durable with one flush of
// "Persistent States" without holding the lock, so that keepalives and other
// PVMs' requests go on meanwhile, and then, under the lock, answers each
// winner whose grant still stands. A grant whose flush fails is withdrawn.
// Nothing waits on a timer: a lone grant is answered as soon as its own flush ends.
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// Starts the commit thread; before the server thread, which decides.
BOOL qssStartGrantCommit(void);

// From now on no grant is answered: grants still waiting stay in the
// registry, unanswered, for the next start to restore. First step of the stop.
void qssRequestGrantCommitStop(void);

// Waits for the commit thread to end (after a flush under way has returned)
// and forgets every grant still waiting. Once no decision can run any more.
void qssStopGrantCommit(void);

// Queues the winner's grant, its values written and its ACK saved, for the
// next flush. Called by the decision with qssInstanceLock held. FALSE, reported,
// when the commit thread cannot be woken: the grant cannot be made durable.
BOOL qssCommitGrant(QSS_INSTANCE* record, QSS_AM_INFO* winner);
