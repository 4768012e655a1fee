// PVM ID text forms.
#include "Qss/config/pvm_id.h"

#include <cstring>

#include "Qss/diag/diag.h"

namespace {

constexpr DWORD QSS_LINE_GUID_BUFFER_TOO_SMALL = 374;
constexpr DWORD QSS_LINE_GUID_FORMAT = 398;
constexpr DWORD QSS_LINE_SUBKEY_FORMAT = 475;

// Below this the GUID text is not even attempted.
constexpr DWORD QSS_GUID_SMALLEST_BUFFER = 16;

ULONGLONG qssLittleEndian64(const BYTE* bytes)
{
    ULONGLONG value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

BOOL Qss_PvmIdToGuidString(const BYTE* pvmId, DWORD outSize, char* out)
{
    memset(out, 0, outSize);
    if (outSize < QSS_GUID_SMALLEST_BUFFER) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Qss_PvmIdToGuidString: Output buffer size (%u) too small.", outSize);
        Qss_LogInternalError("Qss_PvmIdToGuidString", QSS_LINE_GUID_BUFFER_TOO_SMALL);
        return FALSE;
    }
    const BYTE* b = pvmId;
    HRESULT result = StringCbPrintfA(out, outSize, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                                     b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11],
                                     b[12], b[13], b[14], b[15]);
    if (FAILED(result)) {
        Qss_LogWin32Error("Qss_PvmIdToGuidString", QSS_LINE_GUID_FORMAT, "StringCbPrintf", (int)(result & 0xFFFF), 0);
        return FALSE;
    }
    return TRUE;
}

BOOL Qss_PvmIdToPersistentStateSubKey(const BYTE* pvmId, DWORD outSize, char* out)
{
    HRESULT result = StringCbPrintfA(out, outSize, "{%016llx%016llx}", qssLittleEndian64(pvmId + 8),
                                     qssLittleEndian64(pvmId));
    if (FAILED(result)) {
        Qss_TracePrintf(QSS_TRACE_ERRORS,
                        "Qss_PvmIdToPersistentStateSubKey: String conversion failed. Output buffer size = %u.",
                        outSize);
        Qss_LogWin32Error("Qss_PvmIdToPersistentStateSubKey", QSS_LINE_SUBKEY_FORMAT, "StringCbPrintfA",
                          (int)(result & 0xFFFF), 0);
        return FALSE;
    }
    return TRUE;
}
