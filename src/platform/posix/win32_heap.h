// The process heap and local memory.
//
// Both are the C library's allocator: HeapAlloc is malloc/calloc and LocalFree
// is free. Whatever the layer hands out to be freed with LocalFree (such as
// FormatMessageA's FORMAT_MESSAGE_ALLOCATE_BUFFER text) must come from malloc.
#pragma once

#include "win32_types.h"

#define HEAP_ZERO_MEMORY 0x00000008

HANDLE GetProcessHeap(void);
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
// Frees buffers that FormatMessageA allocated (with malloc); returns null on success.
HLOCAL LocalFree(HLOCAL hMem);
