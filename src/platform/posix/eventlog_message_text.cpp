// Event texts for syslog from the message file of the event's source.
#include "eventlog_message_text.h"

#include "platform/win32.h"

namespace dveventlog {

namespace {

// The EventMessageFile registered for the source in the Application log
// (the first, when several are listed).
std::string RegisteredMessageFile(const char* source)
{
    std::string keyName = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    char path[MAX_PATH + 1] = "";
    DWORD type = REG_NONE;
    DWORD size = MAX_PATH;
    LSTATUS status = RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<LPBYTE>(path), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string();
    path[size < MAX_PATH ? size : MAX_PATH] = '\0';
    std::string first(path);
    return first.substr(0, first.find(';'));
}

}  // namespace

bool RegisteredMessageText(const char* source, DWORD eventId, const char* const* strings, std::string& text)
{
    std::string path = RegisteredMessageFile(source);
    if (path.empty()) return false;
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) return false;
    static constexpr DWORD kLongestText = 64 * 1024;
    std::string formatted(kLongestText, '\0');
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, eventId, 0,
                                  formatted.data(), kLongestText,
                                  reinterpret_cast<va_list*>(const_cast<char**>(strings)));
    if (length) text.assign(formatted.data(), length);
    FreeLibrary(module);
    return length != 0;
}

}  // namespace dveventlog
