// Failures and stalls on demand, for tests of how the program reports a disk
// that fails or fills up, or copes with one that is slow, or a network layer that gives up. Inert unless
// $DORVANE_FAULTS is set or a test sets faults with dvfaults::Set.
//
// The text is a comma-separated list of "point:N" (only the Nth call from now
// on fails), "point:N+" (the Nth call and every later one fail) or
// "point:hold" (each call waits while the file "hold.<point>" exists in the
// state folder), where point is
//   reg_write     RegSetValueExA and RegDeleteValueA fail with ERROR_DISK_FULL (ENOSPC)
//   reg_flush     RegFlushKey fails with ERROR_GEN_FAILURE (EIO)
//   reg_delete    RegDeleteKeyA fails with ERROR_GEN_FAILURE (EIO)
//   timer_create  CreateTimerQueueTimer fails with ERROR_NOT_ENOUGH_MEMORY (ENOMEM)
//   select        select fails with WSAENOBUFS (ENOMEM)
// for example DORVANE_FAULTS=reg_write:3,reg_flush:hold. A failing call changes nothing.
#pragma once

namespace dvfaults {

enum Point { kRegistryWrite, kRegistryFlush, kRegistryDelete, kTimerCreate, kSelect, kPointCount };

// Counts one call at point: the errno it must fail with, 0 when it goes ahead.
// While the point is held the call first waits until it is released.
int Check(Point point);

// Replaces the faults in force by those of text (null or "": none) and starts
// counting calls again. False, with no fault in force, when text does not parse.
bool Set(const char* text);

// How many calls at point have been failed by this switch in this process.
unsigned long Injected(Point point);

// Holds every call at point (in this process) until Release; Release also
// lets go the calls already waiting.
void Hold(Point point);
void Release(Point point);

// How many calls are waiting at point now.
unsigned long Waiting(Point point);

}  // namespace dvfaults
