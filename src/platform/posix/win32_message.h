// Modules (LoadLibraryA, GetProcAddress) and message texts (FormatMessageA).
#pragma once

#include "win32_types.h"
