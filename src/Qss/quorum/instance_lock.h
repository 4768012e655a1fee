// The one lock of the quorum engine.
#pragma once

#include "platform/win32.h"

// Recursive. Guards the instance table, every record and slot, and
// qssServerInfo.activeInstanceCount. Request handlers hold it from their
// first trace until their reply has been sent, timer callbacks for their
// whole run.
extern CRITICAL_SECTION qssInstanceLock;
