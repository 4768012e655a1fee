// Handles of the service manager: the manager itself and opened services.
#pragma once

#include <string>

#include "platform/win32.h"

namespace dvservice {

// Checks that a service handle is open and grants the access; fills in the
// service's name. Returns a Win32 error code.
DWORD CheckServiceHandle(SC_HANDLE handle, DWORD access, std::string* name);
// The same, and that the service stands: not deleted, not marked for deletion.
DWORD CheckLiveService(SC_HANDLE handle, DWORD access, std::string* name);

}  // namespace dvservice
