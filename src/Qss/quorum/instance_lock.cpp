#include "Qss/quorum/instance_lock.h"

CRITICAL_SECTION qssInstanceLock;
