// The Application event log: a JSON-lines file under the state folder, with
// every record also sent to syslog.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "eventlog_message_text.h"
#include "eventlog_record.h"
#include "platform/win32.h"
#include "state_dir.h"

namespace {

struct EventSource {
    int fd;
    std::string name;
};

int SyslogPriority(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_AUDIT_FAILURE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    case EVENTLOG_SUCCESS: return LOG_NOTICE;
    default: return LOG_INFO;
    }
}

// The event's text from the source's message file when one is registered,
// else its identifier and insertion strings; on one line.
std::string SyslogText(const dveventlog::Record& record)
{
    std::string text;
    if (!dveventlog::RegisteredMessageText(record.source, record.eventId, record.strings, text)) {
        char id[16];
        snprintf(id, sizeof id, "0x%08X", record.eventId);
        text = std::string("Event ") + id;
        for (WORD i = 0; i < record.stringCount; ++i) {
            text += i ? " | " : ": ";
            if (record.strings[i]) text += record.strings[i];
        }
    }
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

void SendToSyslog(const dveventlog::Record& record)
{
    static std::mutex mutex;
    static std::string ident;  // openlog keeps the pointer, so it must outlive the call.
    std::string text = SyslogText(record);
    std::lock_guard<std::mutex> lock(mutex);
    if (ident != record.source) {
        ident = record.source;
        openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
    }
    syslog(SyslogPriority(record.type), "%s", text.c_str());
}

bool WriteWhole(int fd, const std::string& line)
{
    ssize_t written;
    do {
        written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        SetLastError(DvWin32ErrorFromErrno(errno));
        return false;
    }
    if (static_cast<size_t>(written) != line.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

}  // namespace

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    if ((lpUNCServerName && *lpUNCServerName) || !lpSourceName || !*lpSourceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string folder = dvstate::StateDir() + "/eventlog";
    std::string file = folder + "/Application.jsonl";
    // A source is registered for every event: the folder is made only when missing.
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        if (int err = dvstate::MakePrivateDirs(folder)) {
            SetLastError(DvWin32ErrorFromErrno(err));
            return nullptr;
        }
        fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        SetLastError(DvWin32ErrorFromErrno(errno));
        return nullptr;
    }
    return new EventSource{fd, lpSourceName};
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData)
{
    if (!hEventLog) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* source = static_cast<const EventSource*>(hEventLog);
    dveventlog::Record record{source->name.c_str(), wType,       wCategory, dwEventID, wNumStrings,
                              lpStrings,            dwDataSize, lpRawData};
    if (!WriteWhole(source->fd, dveventlog::RecordLine(record))) return FALSE;
    SendToSyslog(record);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog)
{
    if (!hEventLog) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* source = static_cast<EventSource*>(hEventLog);
    int result = close(source->fd);
    int err = errno;
    delete source;
    if (result != 0) {
        SetLastError(DvWin32ErrorFromErrno(err));
        return FALSE;
    }
    return TRUE;
}
