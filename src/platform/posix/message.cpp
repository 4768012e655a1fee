// FormatMessageA: message texts from the system table or a module's table,
// with Windows' insertion and escape sequences.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"
#include "system_messages.h"

namespace {

constexpr WORD kPrimaryLanguageMask = 0x3FF;

bool IsEnglishOrNeutral(DWORD languageId)
{
    return languageId == 0 || (languageId & kPrimaryLanguageMask) == LANG_ENGLISH;
}

// The module's text for the identifier, or null with the last error set.
const char* ModuleMessageText(LPCVOID module, DWORD messageId, DWORD languageId)
{
    void* handle = module ? const_cast<void*>(module) : RTLD_DEFAULT;
    const auto* table = static_cast<const DV_MESSAGE_TABLE*>(dlsym(handle, DV_MESSAGE_TABLE_SYMBOL));
    if (!table) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    bool idFound = false;
    for (DWORD i = 0; i < table->dwCount; ++i) {
        const DV_MESSAGE_ENTRY& entry = table->pEntries[i];
        if (entry.dwMessageId != messageId) continue;
        idFound = true;
        if (languageId == 0 || entry.wLanguageId == languageId) return entry.pszText;
    }
    SetLastError(idFound ? ERROR_RESOURCE_LANG_NOT_FOUND : ERROR_MR_MID_NOT_FOUND);
    return nullptr;
}

// The system's text, ending in a line break as Windows' texts do.
bool SystemMessageText(DWORD messageId, DWORD languageId, std::string& text)
{
    if (!IsEnglishOrNeutral(languageId)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return false;
    }
    const char* found = DvSystemMessageText(messageId);
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return false;
    }
    text = found;
    text += "\r\n";
    return true;
}

// Expands %1..%99 (with an optional !s! format) and the escapes.
// Fails with ERROR_INVALID_PARAMETER on an insertion it cannot take.
bool ExpandInserts(const std::string& text, const char* const* arguments, std::string& out)
{
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (++i >= text.size()) break;
        c = text[i];
        if (c >= '1' && c <= '9') {
            unsigned number = static_cast<unsigned>(c - '0');
            if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
                number = number * 10 + static_cast<unsigned>(text[++i] - '0');
            }
            if (i + 1 < text.size() && text[i + 1] == '!') {
                size_t close = text.find('!', i + 2);
                if (close == std::string::npos || text.compare(i + 2, close - i - 2, "s") != 0) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return false;
                }
                i = close;
            }
            if (!arguments) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            const char* insert = arguments[number - 1];
            if (insert) out += insert;
            continue;
        }
        switch (c) {
        case '0': return true;
        case 'n': out += "\r\n"; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: out += c; break;
        }
    }
    return true;
}

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments)
{
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (allocate) *reinterpret_cast<char**>(lpBuffer) = nullptr;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }

    std::string text;
    bool found = false;
    if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE) {
        const char* moduleText = ModuleMessageText(lpSource, dwMessageId, dwLanguageId);
        if (moduleText) {
            text = moduleText;
            found = true;
        }
    }
    if (!found && (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        found = SystemMessageText(dwMessageId, dwLanguageId, text);
    } else if (!found && !(dwFlags & FORMAT_MESSAGE_FROM_HMODULE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    if (!found) return 0;

    std::string result;
    if (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        result = text;
    } else {
        // Only argument arrays can be read portably; a va_list is taken as none.
        const char* const* arguments =
            (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? reinterpret_cast<const char* const*>(Arguments) : nullptr;
        if (!ExpandInserts(text, arguments, result)) return 0;
    }

    if (allocate) {
        size_t bytes = result.size() + 1 > nSize ? result.size() + 1 : nSize;
        // LocalFree releases this with free().
        char* allocated = static_cast<char*>(std::malloc(bytes));
        if (!allocated) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(allocated, result.c_str(), result.size() + 1);
        *reinterpret_cast<char**>(lpBuffer) = allocated;
    } else {
        if (result.size() + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, result.c_str(), result.size() + 1);
    }
    return static_cast<DWORD>(result.size());
}
