// Critical sections, events and threads.
#pragma once

#include "win32_types.h"

// A recursive lock. The storage holds the POSIX mutex, so that program code
// declares critical sections by value as it does on Windows.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(8) unsigned char opaque[64];
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

// Unnamed events only: a name fails with ERROR_NOT_SUPPORTED.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

// Threads start at once (creation flags 0); there is no TerminateThread.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
DWORD GetCurrentThreadId(void);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

// Waits for an event or for a thread's end.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Closes events, threads and the other kinds of handle the layer gives out.
BOOL CloseHandle(HANDLE hObject);
