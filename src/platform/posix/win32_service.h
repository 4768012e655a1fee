// The Service Control Manager: service definitions, controls and status.
#pragma once

#include "win32_types.h"
