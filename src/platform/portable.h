// Small helpers for the few places where the two targets differ in shape,
// so that program code never tests the target itself.
#pragma once

#ifdef _WIN32
// Winsock ignores select's first argument.
inline int DvSelectNfds(const fd_set*) { return 0; }
#else
// The highest descriptor in the set plus one, as POSIX select needs.
int DvSelectNfds(const fd_set* set);
#endif

#include "select_wait.h"
