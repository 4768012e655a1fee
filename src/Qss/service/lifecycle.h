// The service's start and stop sequence.
#pragma once

#include "platform/win32.h"

// Stops the server (Qss_StopServerThread on the calling thread) and releases
// the service's wait for its stop event. bTerminateThread is 1 from the
// control handlers, 0 from the server thread itself.
void Qss_ServiceStop(DWORD bTerminateThread);
