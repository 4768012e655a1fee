// The English texts of the Win32 and Winsock error codes, as the system's
// message table gives them (without the trailing line break).
#pragma once

#include "win32_types.h"

// Null for a code without a text.
const char* DvSystemMessageText(DWORD code);
