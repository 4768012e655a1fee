// The process heap and local memory.
#pragma once

#include "win32_types.h"

#define HEAP_ZERO_MEMORY 0x00000008

HANDLE GetProcessHeap(void);
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
// Frees buffers that FormatMessageA allocated; returns null on success.
HLOCAL LocalFree(HLOCAL hMem);
