// The process heap and local memory, both over the C library's allocator.
#include <cstdlib>

#include "platform/win32.h"

namespace {
// Any distinct non-null value: the process has one heap.
char processHeapTag;
HANDLE const processHeap = &processHeapTag;
}  // namespace

HANDLE GetProcessHeap(void) { return processHeap; }

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // A zero-byte block is still a distinct, freeable block, as on Windows.
    SIZE_T bytes = dwBytes ? dwBytes : 1;
    void* block = (dwFlags & HEAP_ZERO_MEMORY) ? calloc(1, bytes) : malloc(bytes);
    if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    if (hHeap != processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    free(lpMem);
    return TRUE;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    free(hMem);
    return nullptr;
}
