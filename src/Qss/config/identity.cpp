#include "Qss/config/identity.h"

#include <cstring>

#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"

namespace {

const size_t QSS_GUID_TEXT_LENGTH = 36;

void qssPrintGuidError(const char* format, DWORD line, long code)
{
    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof(text), format, line, code);
    Qss_ConsolePrint(text);
}

}  // namespace

BOOL Qss_GenerateGUID(UUID* uuid)
{
    RPC_STATUS status = UuidCreate(uuid);
    if (status != RPC_S_OK) {
        qssPrintGuidError("Qss_GenerateGUID (%u): UuidCreate error (%ld)", 188, (long)status);
        return FALSE;
    }
    return TRUE;
}

BOOL Qss_GuidToString(UUID* uuid, size_t outSize, char* out)
{
    memset(out, 0, outSize);
    RPC_CSTR text = NULL;
    RPC_STATUS status = UuidToStringA(uuid, &text);
    if (status != RPC_S_OK) {
        qssPrintGuidError("Qss_GuidToString (%u): UuidToStringA error (%ld)", 255, (long)status);
        return FALSE;
    }
    BOOL result = TRUE;
    HRESULT copied = outSize > 0x7FFFFFFF ? E_INVALIDARG : StringCbCopyA(out, outSize, (const char*)text);
    if (FAILED(copied)) {
        qssPrintGuidError("Qss_GuidToString (%u): StringCbCopyA error (%ld)", 291, (long)copied);
        result = FALSE;
    }
    size_t length = 0;
    HRESULT measured = StringCbLengthA(out, outSize, &length);
    if (FAILED(measured) || length != QSS_GUID_TEXT_LENGTH) {
        qssPrintGuidError("Qss_GuidToString (%u): StringCbLengthA failed (%ld)\n", 280,
                          FAILED(measured) ? (long)measured : 0L);
        result = FALSE;
    }
    status = RpcStringFreeA(&text);
    if (status != RPC_S_OK) {
        qssPrintGuidError("Qss_GuidToString (%u): RpcStringFree error (%ld)", 304, (long)status);
    }
    return result;
}

BOOL qssGetMyKey(void)
{
    if (!Qss_RegGetSTRING("QSServerID", qssServerInfo.serverId, QSS_GUID_STRING_SIZE)) {
        memset(qssServerInfo.serverId, 0, QSS_GUID_STRING_SIZE);
    }
    size_t length = 0;
    if (SUCCEEDED(StringCbLengthA(qssServerInfo.serverId, QSS_GUID_STRING_SIZE, &length)) &&
        length == QSS_GUID_TEXT_LENGTH) {
        return TRUE;
    }
    Qss_TracePrintf(QSS_TRACE_ERRORS, "Invalid QSServer GUID in registry");
    Qss_LogInternalError("qssGetMyKey", 2333);
    return FALSE;
}
