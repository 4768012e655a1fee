// A select set that holds at most the 64 sockets one Winsock select can wait
// on, and a wake-up that another thread raises to end such a wait at once.
//
// Program code waits with select on its sockets plus the wake-up; a thread
// that wants the waiter to stop raises the wake-up and the waiter's select
// returns at once. A raised wake-up stays raised.
#pragma once

#define DV_SELECT_MAX_SOCKETS 64

// Adds s to the read set unless it is already there or the set already holds
// DV_SELECT_MAX_SOCKETS sockets. TRUE when s is in the set afterwards.
BOOL DvSelectSetAdd(fd_set* set, SOCKET s);
// TRUE when s is in the set (FD_ISSET without its limits on the socket's value).
BOOL DvSelectSetHas(const fd_set* set, SOCKET s);

typedef struct DV_WAKEUP DV_WAKEUP;

// NULL on failure, with the socket error for WSAGetLastError.
DV_WAKEUP* DvWakeupCreate(void);
// Frees the wake-up; nobody may wait on it any more.
void DvWakeupClose(DV_WAKEUP* wakeup);
// From any thread: makes every wait on the wake-up, current or later, end at once.
void DvWakeupRaise(DV_WAKEUP* wakeup);
BOOL DvWakeupIsRaised(DV_WAKEUP* wakeup);
// Adds the wake-up to a read set after the sockets. FALSE when the set has no
// room for it (Windows, 64 sockets): the wait then ends only at its timeout.
BOOL DvWakeupAddToSet(DV_WAKEUP* wakeup, fd_set* set);
// Sleeps for the given milliseconds or until the wake-up is raised.
void DvWakeupSleep(DV_WAKEUP* wakeup, DWORD milliseconds);
