// Console control events (Ctrl+C, Ctrl+Break).
#pragma once

#include "win32_types.h"
