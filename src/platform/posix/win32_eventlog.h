// The Application event log: event sources and event reports.
#pragma once

#include "win32_types.h"
