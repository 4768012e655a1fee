// The byte-counted safe-string functions over the C library.
//
// Every function leaves its destination terminated once the size is valid;
// a size that cannot be right (0, or beyond STRSAFE_MAX_CCH) is refused
// before anything is written, since writing would trust that size.
#include <cstdio>

#include "platform/win32.h"

namespace {

bool IsValidSize(size_t cb) { return cb != 0 && cb <= STRSAFE_MAX_CCH; }

// Copies as much of pszSrc as fits into a cb-byte buffer and terminates it.
HRESULT CopyBounded(char* pszDest, size_t cb, const char* pszSrc)
{
    size_t i = 0;
    while (i + 1 < cb && pszSrc[i] != '\0') {
        pszDest[i] = pszSrc[i];
        ++i;
    }
    pszDest[i] = '\0';
    return pszSrc[i] == '\0' ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

} // namespace

HRESULT StringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, va_list argList)
{
    if (pszDest == nullptr || !IsValidSize(cbDest))
        return STRSAFE_E_INVALID_PARAMETER;
    if (pszFormat == nullptr) {
        pszDest[0] = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    int written = vsnprintf(pszDest, cbDest, pszFormat, argList);
    if (written < 0) {
        // The C library may leave partial output behind on an encoding error.
        pszDest[0] = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return (size_t)written < cbDest ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT StringCbPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    HRESULT hr = StringCbVPrintfA(pszDest, cbDest, pszFormat, argList);
    va_end(argList);
    return hr;
}

HRESULT StringCbCopyA(char* pszDest, size_t cbDest, const char* pszSrc)
{
    if (pszDest == nullptr || !IsValidSize(cbDest))
        return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest, cbDest, pszSrc != nullptr ? pszSrc : "");
}

HRESULT StringCbLengthA(const char* psz, size_t cbMax, size_t* pcbLength)
{
    HRESULT hr = STRSAFE_E_INVALID_PARAMETER;
    size_t length = 0;
    if (psz != nullptr && IsValidSize(cbMax)) {
        while (length < cbMax && psz[length] != '\0')
            ++length;
        if (length < cbMax)
            hr = S_OK;
        else
            length = 0;
    }
    if (pcbLength != nullptr)
        *pcbLength = length;
    return hr;
}

HRESULT StringCbCatA(char* pszDest, size_t cbDest, const char* pszSrc)
{
    size_t destLength = 0;
    HRESULT hr = StringCbLengthA(pszDest, cbDest, &destLength);
    if (FAILED(hr))
        return hr;
    return CopyBounded(pszDest + destLength, cbDest - destLength, pszSrc != nullptr ? pszSrc : "");
}
