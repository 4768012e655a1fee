// Message files of event sources, loaded once for as long as their
// registration stays the same rather than for every event.
#include "eventlog_message_file.h"

#include "platform/posix/registry_stamp.h"
#include "platform/win32.h"

namespace dveventlog {

MessageFile::~MessageFile() { FreeLibrary(module_); }

bool MessageFile::Text(DWORD eventId, const char* const* strings, std::string& text) const
{
    char* formatted = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module_, eventId, 0, reinterpret_cast<LPSTR>(&formatted), 0,
                                  reinterpret_cast<va_list*>(const_cast<char**>(strings)));
    if (length) text.assign(formatted, length);
    LocalFree(formatted);
    return length != 0;
}

unsigned MessageFile::BracedInsertion(DWORD eventId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto known = braced_.find(eventId);
    if (known != braced_.end()) return known->second;
    unsigned insertion = 0;
    char* pattern = nullptr;
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                       module_, eventId, 0, reinterpret_cast<LPSTR>(&pattern), 0, nullptr)) {
        std::string text(pattern);
        size_t at = text.find("{%");
        if (at != std::string::npos) {
            size_t digits = at + 2;
            while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
                insertion = insertion * 10 + static_cast<unsigned>(text[digits++] - '0');
            }
            if (digits >= text.size() || text[digits] != '}') insertion = 0;
        }
    }
    LocalFree(pattern);
    braced_[eventId] = insertion;
    return insertion;
}

namespace {

std::string SourceKey(const char* source)
{
    return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
}

// What a source's registration named when it had the stamp.
struct Registration {
    dvreg::SubtreeStamp stamp;
    std::shared_ptr<MessageFile> file;
};

}  // namespace

std::string RegisteredMessageFile(const char* source)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SourceKey(source).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
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

std::shared_ptr<MessageFile> SourceMessageFile(const char* source)
{
    // Never destroyed: threads may still log while the process exits.
    static std::mutex& mutex = *new std::mutex;
    static auto& known = *new std::map<std::string, Registration>;
    std::string keyName = SourceKey(source);
    dvreg::SubtreeStamp before = dvreg::StampOfSubtree(keyName.c_str());
    {
        std::lock_guard<std::mutex> lock(mutex);
        const Registration& registration = known[source];
        // Unchanged since it was read: the registry is not asked again, as every event would.
        if (before.Known() && registration.stamp == before) return registration.file;
    }
    std::string path = RegisteredMessageFile(source);
    dvreg::SubtreeStamp after = dvreg::StampOfSubtree(keyName.c_str());
    std::lock_guard<std::mutex> lock(mutex);
    Registration& registration = known[source];
    if (path.empty()) {
        registration.file.reset();
    } else if (!registration.file || registration.file->path() != path) {
        HMODULE module = LoadLibraryA(path.c_str());
        // A Windows path (%SystemRoot%\System32\dorvane.dll): the file of that
        // name where LoadLibraryA finds it, beside the executable first.
        size_t folder = path.find_last_of("\\/");
        if (!module && folder != std::string::npos) module = LoadLibraryA(path.substr(folder + 1).c_str());
        registration.file = module ? std::make_shared<MessageFile>(path, module) : nullptr;
    }
    registration.stamp = before == after ? after : dvreg::SubtreeStamp{};
    return registration.file;
}

}  // namespace dveventlog
