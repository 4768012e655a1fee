// Critical sections, events and threads.
#pragma once

#include "win32_types.h"
