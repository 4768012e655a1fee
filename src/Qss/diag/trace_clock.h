// Where the console trace line takes its local time from; tests replace it
// to print a fixed time.
#pragma once

#include "platform/win32.h"

typedef void(WINAPI* QSS_LOCAL_TIME_SOURCE)(LPSYSTEMTIME);

// GetLocalTime unless replaced.
extern QSS_LOCAL_TIME_SOURCE qssTraceClock;
