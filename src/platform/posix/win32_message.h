// Modules (LoadLibraryA, GetProcAddress, FreeLibrary) and message texts (FormatMessageA).
#pragma once

#include <cstdarg>

#include "win32_sysinfo.h"
#include "win32_types.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

// Searches the executable's own folder first, then the system's library path;
// a name with a '/' is loaded from that path only.
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);

// From the system: the English texts of the Win32 and Winsock error codes, each
// ending in "\r\n"; an unknown code fails with ERROR_MR_MID_NOT_FOUND.
// From a module: the message table the module exports (below), with %1..%99
// taken from the argument array (FORMAT_MESSAGE_ARGUMENT_ARRAY: an array of
// string pointers) and the escapes %0 %n %r %t %% %. %! and "% ".
// FORMAT_MESSAGE_FROM_STRING and argument lists (va_list) are not supported.
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer receives a pointer to free with LocalFree.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);

// The message table of a module, the counterpart of a Windows message-table
// resource: a module exports it under DV_MESSAGE_TABLE_SYMBOL.
typedef struct DV_MESSAGE_ENTRY {
    DWORD dwMessageId;
    WORD wLanguageId;
    const char* pszText;
} DV_MESSAGE_ENTRY;

typedef struct DV_MESSAGE_TABLE {
    DWORD dwCount;
    const DV_MESSAGE_ENTRY* pEntries;
} DV_MESSAGE_TABLE;

#define DV_MESSAGE_TABLE_SYMBOL "DvMessageTable"
