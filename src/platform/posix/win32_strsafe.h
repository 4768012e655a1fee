// The byte-counted safe-string functions: always terminated, cut on overflow.
#pragma once

#include <cstdarg>

#include "win32_types.h"

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007A)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057)

HRESULT StringCbPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
HRESULT StringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, va_list argList)
    __attribute__((format(printf, 3, 0)));
HRESULT StringCbCopyA(char* pszDest, size_t cbDest, const char* pszSrc);
HRESULT StringCbCatA(char* pszDest, size_t cbDest, const char* pszSrc);
HRESULT StringCbLengthA(const char* psz, size_t cbMax, size_t* pcbLength);
