// The registry under HKEY_LOCAL_MACHINE.
#pragma once

#include "win32_types.h"
