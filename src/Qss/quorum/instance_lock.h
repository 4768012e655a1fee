// The one lock of the quorum engine.
#pragma once

#include "platform/win32.h"

// Recursive. Guards the instance table, every instance record and AM slot,
// and qssServerInfo.activeInstanceCount. Every request handler holds it from
// its first trace to after its reply is sent; every timer callback holds it
// for its whole run. Initialised by Qss_Initialize, deleted last at stop.
extern CRITICAL_SECTION qssInstanceLock;
