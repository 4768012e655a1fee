// The Application event log: a JSON-lines file under the state folder, with
// every record also sent to the systemd journal.
//
// The program registers its source for every event. The log file stays open
// from one registration to the next while it is still the file at its path,
// and the source's message file stays loaded while its registration names it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "eventlog_journal.h"
#include "eventlog_message_file.h"
#include "eventlog_record.h"
#include "platform/win32.h"
#include "state_dir.h"

namespace {

struct LogFile {
    std::string path;
    int fd = -1;
    ~LogFile() { close(fd); }
};

struct EventSource {
    std::shared_ptr<LogFile> log;
    std::shared_ptr<dveventlog::MessageFile> messages;
    std::string name;
};

// Still the file at its path: not removed, renamed away or replaced.
bool StillAtPath(const LogFile& log, const std::string& path)
{
    struct stat opened;
    struct stat named;
    return log.path == path && fstat(log.fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The log file of the current state folder, opened (and its folder made) when
// it is not open yet; null with the last error set when that fails.
std::shared_ptr<LogFile> CurrentLogFile()
{
    // Never destroyed: threads may still log while the process exits.
    static std::mutex& mutex = *new std::mutex;
    static std::shared_ptr<LogFile>& current = *new std::shared_ptr<LogFile>;
    std::string folder = dvstate::StateDir() + "/eventlog";
    std::string path = folder + "/Application.jsonl";
    std::lock_guard<std::mutex> lock(mutex);
    if (current && StillAtPath(*current, path)) return current;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        if (int err = dvstate::MakePrivateDirs(folder)) {
            SetLastError(DvWin32ErrorFromErrno(err));
            return nullptr;
        }
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        SetLastError(DvWin32ErrorFromErrno(errno));
        return nullptr;
    }
    current = std::make_shared<LogFile>();
    current->path = path;
    current->fd = fd;
    return current;
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
    std::shared_ptr<LogFile> log = CurrentLogFile();
    if (!log) return nullptr;
    return new EventSource{log, dveventlog::SourceMessageFile(lpSourceName), lpSourceName};
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
    if (!WriteWhole(source->log->fd, dveventlog::RecordLine(record))) return FALSE;
    dveventlog::SendToJournal(record, source->messages.get());
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog)
{
    if (!hEventLog) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<EventSource*>(hEventLog);
    return TRUE;
}
