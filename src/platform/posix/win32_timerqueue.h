// Timer queues: one-shot timers whose callbacks run on worker threads.
#pragma once

#include "win32_types.h"
