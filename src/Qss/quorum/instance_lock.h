// The one lock of the quorum engine.
#pragma once

#include "platform/win32.h"

// Recursive. Guards the instance table, every record and slot, and
// qssServerInfo.activeInstanceCount. Request handlers hold it from their
// first trace until their reply has been sent, timer callbacks for their
// whole run. Initialised by Qss_Initialize, deleted last at stop.
extern CRITICAL_SECTION qssInstanceLock;
