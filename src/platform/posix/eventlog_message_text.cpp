// Event texts for syslog from the message file of the event's source.
#include "eventlog_message_text.h"

#include "platform/win32.h"

namespace dveventlog {

namespace {

// The EventMessageFile registered for the source in the Application log.
std::string RegisteredMessageFile(const char*)
{
    return std::string();
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
