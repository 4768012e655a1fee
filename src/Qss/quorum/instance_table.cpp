// The instance table. No request creates records yet, so there is nothing to
// age or free.
#include "Qss/quorum/instance_table.h"

void qssUnusedInstanceCollection(void) {}

void qssDeleteAllInstances(void) {}
