// The instance table: one record per PVM that an AM attached to.
#pragma once

// Ages out records nobody uses any more. Called by the server thread at the
// top of every turn, without the lock held.
void qssUnusedInstanceCollection(void);
// Frees every record. Called at stop after the timer queue is gone and before
// the lock is deleted; the caller does not hold the lock.
void qssDeleteAllInstances(void);
