// Tool Help snapshots over /proc: processes from its numeric folders, a
// process's modules from the file-backed executable mappings in its maps.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/posix/handle.h"
#include "platform/win32.h"

namespace {

// The base priority Windows gives a process of the normal priority class.
constexpr LONG kNormalBasePriority = 8;

struct DvToolhelpSnapshot {
    DWORD kind;  // first, as for every handle of the layer
    std::vector<PROCESSENTRY32> processes;
    std::vector<MODULEENTRY32W> modules;
    size_t nextProcess;
    size_t nextModule;
};

DvToolhelpSnapshot* SnapshotFromHandle(HANDLE hSnapshot)
{
    return DvHandleKind(hSnapshot) == DV_HANDLE_KIND_TOOLHELP_SNAPSHOT ? static_cast<DvToolhelpSnapshot*>(hSnapshot)
                                                                       : nullptr;
}

// The whole file, or the errno of the failure.
int ReadWholeFile(const std::string& path, std::string& contents)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    contents.clear();
    char buffer[16384];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            int err = got < 0 ? errno : 0;
            close(fd);
            return err;
        }
        contents.append(buffer, static_cast<size_t>(got));
    }
}

std::string_view BaseName(std::string_view path)
{
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void CopyNarrow(std::string_view text, CHAR* out, size_t capacity)
{
    size_t length = std::min(text.size(), capacity - 1);
    memcpy(out, text.data(), length);
    out[length] = '\0';
}

// The process's entry from /proc/PID/stat; false when the process has gone
// or cannot be read.
bool ReadProcessEntry(DWORD pid, PROCESSENTRY32& entry)
{
    std::string folder = "/proc/" + std::to_string(pid);
    std::string stat;
    if (ReadWholeFile(folder + "/stat", stat) != 0)
        return false;
    // "pid (comm) state ppid ... num_threads ...": comm may hold any byte, so
    // it ends at the last parenthesis.
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    int parent = 0;
    long threads = 0;
    if (sscanf(stat.c_str() + close + 1,
               " %*s %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld",
               &parent, &threads) != 2)
        return false;

    entry = PROCESSENTRY32{};
    entry.dwSize = sizeof entry;
    entry.th32ProcessID = pid;
    entry.cntThreads = static_cast<DWORD>(threads);
    entry.th32ParentProcessID = static_cast<DWORD>(parent);
    entry.pcPriClassBase = kNormalBasePriority;

    // The executable's file name as Windows gives it; the command name for
    // processes whose executable cannot be read (kernel threads, other users).
    char exe[4096];
    ssize_t exeLength = readlink((folder + "/exe").c_str(), exe, sizeof exe);
    if (exeLength > 0 && static_cast<size_t>(exeLength) < sizeof exe)
        CopyNarrow(BaseName(std::string_view(exe, static_cast<size_t>(exeLength))), entry.szExeFile, MAX_PATH);
    else
        CopyNarrow(std::string_view(stat).substr(open + 1, close - open - 1), entry.szExeFile, MAX_PATH);
    return true;
}

// Every process that can be read now; one that ends meanwhile is left out.
DWORD ListProcesses(std::vector<PROCESSENTRY32>& processes)
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return DvWin32ErrorFromErrno(errno);
    while (dirent* item = readdir(proc)) {
        char* end = nullptr;
        unsigned long pid = strtoul(item->d_name, &end, 10);
        if (end == item->d_name || *end != '\0' || pid == 0 || pid > 0xFFFFFFFFul)
            continue;
        PROCESSENTRY32 entry;
        if (ReadProcessEntry(static_cast<DWORD>(pid), entry))
            processes.push_back(entry);
    }
    closedir(proc);
    return ERROR_SUCCESS;
}

// UTF-8 to UTF-16; a byte that starts no valid sequence stands for itself.
// False when the text does not fit, terminator included.
bool Utf8ToWide(std::string_view text, WCHAR* out, size_t capacity)
{
    size_t used = 0;
    auto put = [&](uint32_t unit) {
        if (used + 1 >= capacity)
            return false;
        out[used++] = static_cast<WCHAR>(unit);
        return true;
    };
    for (size_t i = 0; i < text.size();) {
        auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
        uint32_t lead = byte(i);
        size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                        : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (byte(i + k) & 0xC0) == 0x80;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not valid.
        valid = valid && !(length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)))
                && !(length == 4 && (code < 0x10000 || code > 0x10FFFF));
        if (!valid) {
            code = lead;
            length = 1;
        }
        bool fits = code < 0x10000 ? put(code) : put(0xD800 + ((code - 0x10000) >> 10)) && put(0xDC00 + (code & 0x3FF));
        if (!fits)
            return false;
        i += length;
    }
    out[used] = 0;
    return true;
}

struct MappedFile {
    uintptr_t base;
    uintptr_t end;
    bool executable;
};

// The fields of one maps line: "start-end perms offset dev inode   path".
bool ParseMapsLine(std::string_view line, uintptr_t& start, uintptr_t& end, bool& executable, std::string_view& path)
{
    std::string_view fields[5];
    for (std::string_view& field : fields) {
        size_t begin = line.find_first_not_of(' ');
        if (begin == std::string_view::npos)
            return false;
        line.remove_prefix(begin);
        size_t stop = std::min(line.find(' '), line.size());
        field = line.substr(0, stop);
        line.remove_prefix(stop);
    }
    size_t pathBegin = line.find_first_not_of(' ');
    path = pathBegin == std::string_view::npos ? std::string_view() : line.substr(pathBegin);
    unsigned long long first = 0;
    unsigned long long last = 0;
    if (sscanf(std::string(fields[0]).c_str(), "%llx-%llx", &first, &last) != 2)
        return false;
    start = static_cast<uintptr_t>(first);
    end = static_cast<uintptr_t>(last);
    executable = fields[1].size() >= 3 && fields[1][2] == 'x';
    return true;
}

// A module is a file with an executable mapping. A deleted file no longer
// has its path, and [heap], [vdso] and anonymous mappings are no files.
bool IsModuleFile(std::string_view path)
{
    constexpr std::string_view deleted = " (deleted)";
    return !path.empty() && path[0] == '/'
           && !(path.size() >= deleted.size() && path.substr(path.size() - deleted.size()) == deleted);
}

DWORD ListModules(DWORD processId, std::vector<MODULEENTRY32W>& modules)
{
    DWORD reportedId = processId == 0 ? static_cast<DWORD>(getpid()) : processId;
    std::string maps;
    int err = ReadWholeFile("/proc/" + std::to_string(reportedId) + "/maps", maps);
    if (err == ENOENT || err == ESRCH)
        return ERROR_INVALID_PARAMETER;
    if (err != 0)
        return DvWin32ErrorFromErrno(err);

    // One module per path, spanning all of the file's mappings; maps lists
    // mappings in address order, so first sight gives the module order.
    std::vector<std::string_view> order;
    std::unordered_map<std::string_view, MappedFile> files;
    std::string_view rest = maps;
    while (!rest.empty()) {
        size_t newline = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(std::min(newline + 1, rest.size()));
        uintptr_t start = 0;
        uintptr_t end = 0;
        bool executable = false;
        std::string_view path;
        if (!ParseMapsLine(line, start, end, executable, path) || !IsModuleFile(path))
            continue;
        auto [file, inserted] = files.try_emplace(path, MappedFile{start, end, executable});
        if (inserted) {
            order.push_back(path);
            continue;
        }
        file->second.base = std::min(file->second.base, start);
        file->second.end = std::max(file->second.end, end);
        file->second.executable = file->second.executable || executable;
    }

    for (std::string_view path : order) {
        const MappedFile& file = files.at(path);
        if (!file.executable)
            continue;
        MODULEENTRY32W entry{};
        entry.dwSize = sizeof entry;
        entry.th32ModuleID = 1;
        entry.th32ProcessID = reportedId;
        entry.GlblcntUsage = 0xFFFF;
        entry.ProccntUsage = 0xFFFF;
        entry.modBaseAddr = reinterpret_cast<BYTE*>(file.base);
        entry.modBaseSize = static_cast<DWORD>(std::min<uintptr_t>(file.end - file.base, 0xFFFFFFFFu));
        entry.hModule = reinterpret_cast<HMODULE>(file.base);
        // A path too long for szExePath is left out rather than cut, so that
        // a cut path never passes for a module of that shorter name.
        if (!Utf8ToWide(path, entry.szExePath, MAX_PATH))
            continue;
        std::string_view name = BaseName(path);
        while (!Utf8ToWide(name, entry.szModule, MAX_MODULE_NAME32 + 1))
            name.remove_suffix(1);
        modules.push_back(entry);
    }
    return ERROR_SUCCESS;
}

// Copies the snapshot's next entry, keeping the caller's dwSize.
template <typename Entry>
BOOL NextEntry(const std::vector<Entry>& entries, size_t& next, Entry* out)
{
    if (out == nullptr || out->dwSize < sizeof(Entry)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (next >= entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    DWORD size = out->dwSize;
    *out = entries[next++];
    out->dwSize = size;
    return TRUE;
}

template <typename Entry>
BOOL WalkSnapshot(HANDLE hSnapshot, Entry* out, bool fromStart)
{
    DvToolhelpSnapshot* snapshot = SnapshotFromHandle(hSnapshot);
    if (snapshot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if constexpr (std::is_same_v<Entry, PROCESSENTRY32>) {
        if (fromStart)
            snapshot->nextProcess = 0;
        return NextEntry(snapshot->processes, snapshot->nextProcess, out);
    } else {
        if (fromStart)
            snapshot->nextModule = 0;
        return NextEntry(snapshot->modules, snapshot->nextModule, out);
    }
}

}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID)
{
    constexpr DWORD supported = TH32CS_SNAPPROCESS | TH32CS_SNAPMODULE;
    if (dwFlags == 0 || (dwFlags & ~supported) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* snapshot = new (std::nothrow) DvToolhelpSnapshot{DV_HANDLE_KIND_TOOLHELP_SNAPSHOT, {}, {}, 0, 0};
    if (snapshot == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    if (dwFlags & TH32CS_SNAPPROCESS)
        error = ListProcesses(snapshot->processes);
    if (error == ERROR_SUCCESS && (dwFlags & TH32CS_SNAPMODULE))
        error = ListModules(th32ProcessID, snapshot->modules);
    if (error != ERROR_SUCCESS) {
        delete snapshot;
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return snapshot;
}

BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) { return WalkSnapshot(hSnapshot, lppe, true); }

BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) { return WalkSnapshot(hSnapshot, lppe, false); }

BOOL Module32FirstW(HANDLE hSnapshot, LPMODULEENTRY32W lpme) { return WalkSnapshot(hSnapshot, lpme, true); }

BOOL Module32NextW(HANDLE hSnapshot, LPMODULEENTRY32W lpme) { return WalkSnapshot(hSnapshot, lpme, false); }

BOOL DvToolhelpCloseSnapshot(HANDLE hSnapshot)
{
    DvToolhelpSnapshot* snapshot = SnapshotFromHandle(hSnapshot);
    if (snapshot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete snapshot;
    return TRUE;
}
