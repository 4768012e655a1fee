// The commit of grants: a grant is answered only once the registry holds it.
//
// The decision makes the winner the holder and saves its ACK under
// qssInstanceLock, and hands the grant over here. One commit thread takes
// the grants waiting, copies their values under the lock, then writes them
// and makes them all durable with one flush of "Persistent States" without
// it, so that keepalives and other PVMs' requests go on meanwhile. Under the
// lock again it answers each winner whose grant still stands. A grant whose
// values or flush fail is withdrawn. Nothing waits on a timer: a lone grant
// is answered as soon as its own write and flush end.
#pragma once

#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// Starts the commit thread; before the server thread, which decides.
BOOL qssStartGrantCommit(void);

// From now on no grant is answered: grants still waiting are written and
// flushed, unanswered, for the next start to restore. First step of the stop.
void qssRequestGrantCommitStop(void);

// Once no decision can run any more: lets the commit thread write and flush
// every grant still waiting, waits for it to end and forgets them.
void qssStopGrantCommit(void);

// Queues the winner's grant, its ACK saved, for the next round. Called by
// the decision with qssInstanceLock held. FALSE, reported, when the commit
// thread cannot be woken: the grant cannot be made durable.
BOOL qssCommitGrant(QSS_INSTANCE* record, QSS_AM_INFO* winner);

// Deletes the PVM's subkey, named subKey, when anything may have been written
// to it, with qssInstanceLock held. Waits while a round of the commit thread
// writes: a grant of the record is then either in the subkey it deletes or
// never written. The registry's status; ERROR_SUCCESS when there was nothing
// to delete.
LONG qssDeleteGrantState(QSS_INSTANCE* record, const char* subKey);
