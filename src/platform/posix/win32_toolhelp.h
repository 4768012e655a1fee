// Tool Help snapshots of processes and their modules.
#pragma once

#include "win32_types.h"
