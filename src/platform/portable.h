// Small helpers for the few places where the two targets differ in shape,
// so that program code never tests the target itself.
#pragma once

// Format checking for the program's own printf-like functions. Not on Windows,
// where DWORD is unsigned long and the program formats it with "%u" as the SDK allows.
#ifdef _WIN32
#define DV_PRINTF_FORMAT(formatIndex, firstArgument)
#else
#define DV_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

#include "select_wait.h"
