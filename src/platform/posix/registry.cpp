// The registry API over the key folders of registry_key_folder.h.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "platform/posix/faults.h"
#include "platform/posix/registry_key_folder.h"
#include "platform/posix/registry_subkey_index.h"
#include "platform/posix/state_dir.h"
#include "platform/win32.h"

struct HKEY__ {
    int fd;
    REGSAM access;
    std::string path;
};

namespace {

const size_t kMaxKeyName = 255;
const size_t kMaxValueName = 16383;
const char kRootPath[] = "HKEY_LOCAL_MACHINE";
const REGSAM kViewFlags = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

std::mutex gHandlesLock;
std::unordered_set<HKEY> gHandles;

// The key one call works on, with its own descriptor for the call's duration, so
// a concurrent RegCloseKey of the handle cannot pull the folder from under it.
struct KeyRef {
    int fd = -1;
    REGSAM access = 0;
    std::string path;
    KeyRef() = default;
    KeyRef(const KeyRef&) = delete;
    KeyRef& operator=(const KeyRef&) = delete;
    ~KeyRef()
    {
        if (fd >= 0) close(fd);
    }
};

LSTATUS FromErrno(int err)
{
    if (err == EBADMSG) return ERROR_REGISTRY_CORRUPT;
    if (err == ENAMETOOLONG) return ERROR_INVALID_PARAMETER;
    return static_cast<LSTATUS>(DvWin32ErrorFromErrno(err));
}

LSTATUS OpenRoot(KeyRef* ref)
{
    std::string root = dvstate::StateDir() + "/registry";
    // Made on first use only: every registry call starts here.
    ref->fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (ref->fd < 0 && errno == ENOENT) {
        if (int err = dvstate::MakePrivateDirs(root)) return FromErrno(err);
        ref->fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (ref->fd < 0) return FromErrno(errno);
    ref->access = KEY_ALL_ACCESS;
    ref->path = kRootPath;
    return ERROR_SUCCESS;
}

LSTATUS Resolve(HKEY hKey, KeyRef* ref)
{
    if (hKey == HKEY_LOCAL_MACHINE) return OpenRoot(ref);
    std::lock_guard<std::mutex> guard(gHandlesLock);
    if (!hKey || !gHandles.count(hKey)) return ERROR_INVALID_HANDLE;
    ref->fd = fcntl(hKey->fd, F_DUPFD_CLOEXEC, 0);
    if (ref->fd < 0) return FromErrno(errno);
    ref->access = hKey->access;
    ref->path = hKey->path;
    return ERROR_SUCCESS;
}

// A live key: operations on a key deleted since it was opened fail as on Windows.
LSTATUS ResolveLive(HKEY hKey, REGSAM needed, KeyRef* ref)
{
    LSTATUS status = Resolve(hKey, ref);
    if (status != ERROR_SUCCESS) return status;
    if ((ref->access & needed) != needed) return ERROR_ACCESS_DENIED;
    return dvreg::IsDeletedFolder(ref->fd) ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LSTATUS SplitPath(LPCSTR subKey, std::vector<std::string_view>* parts)
{
    parts->clear();
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    std::string_view rest = subKey;
    for (;;) {
        size_t cut = rest.find('\\');
        std::string_view part = rest.substr(0, cut);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        parts->push_back(part);
        if (cut == std::string_view::npos) return ERROR_SUCCESS;
        rest.remove_prefix(cut + 1);
    }
}

// Walks from ref down the path, creating missing keys when asked; ref then
// names the last key. *created tells whether that last key was made here.
LSTATUS Walk(KeyRef* ref, const std::vector<std::string_view>& parts, bool create, bool* created)
{
    if (created) *created = false;
    for (std::string_view part : parts) {
        if (dvreg::IsDeletedFolder(ref->fd)) return ERROR_KEY_DELETED;
        dvreg::Subkey sub;
        // A key that may be made here is looked for in every spelling once, under the lock.
        bool mayCreate = create && (ref->access & KEY_CREATE_SUB_KEY);
        int err = mayCreate ? dvreg::FindSubkeyAsSpelled(ref->fd, part, &sub) : dvreg::LookUpSubkey(ref->fd, part, &sub);
        if (err == ENOENT && create) {
            if (!(ref->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
            dvreg::FolderLock lock(ref->fd);
            if (lock.error) return FromErrno(lock.error);
            // Another process may have made it, in any case, since the look-up.
            err = dvreg::LookUpSubkey(ref->fd, part, &sub);
            if (err == ENOENT) {
                if (dvreg::IsDeletedFolder(ref->fd)) return ERROR_KEY_DELETED;
                dvreg::FolderState before;
                bool known = dvreg::ReadFolderState(ref->fd, &before) == 0;
                err = dvreg::MakeSubkeyFolder(ref->fd, part);
                if (err) return FromErrno(err);
                sub.name = part;
                sub.folder = dvreg::KeyFolderName(part);
                if (known) dvreg::NoteSubkeyChange(ref->fd, before, sub, true);
                if (created) *created = true;
            }
        } else if (created) {
            *created = false;
        }
        if (err) return FromErrno(err);
        int fd = openat(ref->fd, sub.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return FromErrno(errno);
        close(ref->fd);
        ref->fd = fd;
        ref->path += '\\';
        ref->path += sub.name;
    }
    return ERROR_SUCCESS;
}

// Opens the key below ref whose every component exists spelled exactly as
// asked, in one look-up: how keys are nearly always asked for, and far cheaper
// than a walk that looks up and opens each component. False when some
// component is missing in that spelling; the walk then decides.
bool OpenAsSpelled(KeyRef* ref, const std::vector<std::string_view>& parts)
{
    if (parts.empty()) return false;
    std::string folders;
    for (std::string_view part : parts) {
        if (!folders.empty()) folders += '/';
        folders += dvreg::KeyFolderName(part);
    }
    // As the walk: never through a link, never out of the key.
    open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd = static_cast<int>(syscall(SYS_openat2, ref->fd, folders.c_str(), &how, sizeof how));
    if (fd < 0) return false;
    close(ref->fd);
    ref->fd = fd;
    for (std::string_view part : parts) {
        ref->path += '\\';
        ref->path += part;
    }
    return true;
}

HKEY NewHandle(KeyRef* ref, REGSAM access)
{
    HKEY key = new HKEY__{ref->fd, access & ~kViewFlags, ref->path};
    ref->fd = -1;
    std::lock_guard<std::mutex> guard(gHandlesLock);
    gHandles.insert(key);
    return key;
}

LSTATUS OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM access, bool create, PHKEY phkResult, bool* created)
{
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::string_view> parts;
    LSTATUS status = SplitPath(lpSubKey, &parts);
    KeyRef ref;
    if (status == ERROR_SUCCESS) status = ResolveLive(hKey, 0, &ref);
    if (status == ERROR_SUCCESS && OpenAsSpelled(&ref, parts)) {
        if (created) *created = false;
    } else if (status == ERROR_SUCCESS) {
        status = Walk(&ref, parts, create, created);
    }
    if (status == ERROR_SUCCESS) *phkResult = NewHandle(&ref, access);
    return status;
}

const dvreg::Value* FindValue(const std::vector<dvreg::Value>& values, std::string_view name)
{
    for (const dvreg::Value& v : values) {
        if (dvreg::SameName(v.name, name)) return &v;
    }
    return nullptr;
}

// Re-reads the values under the key's lock, applies change, and replaces the file.
template <typename Change>
LSTATUS ModifyValues(HKEY hKey, Change change)
{
    KeyRef ref;
    LSTATUS status = Resolve(hKey, &ref);
    if (status != ERROR_SUCCESS) return status;
    if ((ref.access & KEY_SET_VALUE) != KEY_SET_VALUE) return ERROR_ACCESS_DENIED;
    // Whether the key still lives is asked once it is locked.
    dvreg::FolderLock lock(ref.fd);
    if (lock.error) return FromErrno(lock.error);
    if (dvreg::IsDeletedFolder(ref.fd)) return ERROR_KEY_DELETED;
    if (int err = dvfaults::Check(dvfaults::kRegistryWrite)) return FromErrno(err);
    std::vector<dvreg::Value> values;
    bool holdsNothingFlushed = false;
    if (int err = dvreg::ReadValues(ref.fd, &values, &holdsNothingFlushed)) return FromErrno(err);
    status = change(&values);
    if (status != ERROR_SUCCESS) return status;
    return FromErrno(dvreg::ReplaceValues(ref.fd, ref.path, values, holdsNothingFlushed));
}

// The sorted subkeys of the folder enumerated last. Enumerating by index asks
// for the same listing once per subkey; re-reading and sorting the folder each
// time makes a walk over n subkeys cost n^2 log n.
struct SubkeyListing {
    bool trusted = false;
    struct stat folder = {};
    std::vector<dvreg::Subkey> subkeys;
};

std::mutex gListingLock;
SubkeyListing gListing;

// Folder times come from a clock at most this coarse, so a change made after a
// listing was taken stamps the folder with another time.
const long long kTimestampMarginNs = 100000000;

bool SameFolderState(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == b.st_nlink &&
           dvreg::Nanoseconds(a.st_mtim) == dvreg::Nanoseconds(b.st_mtim) &&
           dvreg::Nanoseconds(a.st_ctim) == dvreg::Nanoseconds(b.st_ctim);
}

// The subkey at index in the listing of the folder as it is now (*found false
// past the end): the kept listing when the folder has not changed since it was
// taken and that is certain from its times; otherwise a new one. A walk from
// index 0 always starts from a new listing.
int ListedSubkey(int dirFd, DWORD index, dvreg::Subkey* subkey, bool* found)
{
    std::lock_guard<std::mutex> guard(gListingLock);
    struct stat now;
    if (fstat(dirFd, &now) != 0) return errno;
    if (index == 0 || !gListing.trusted || !SameFolderState(gListing.folder, now)) {
        timespec listedAt;
        clock_gettime(CLOCK_REALTIME, &listedAt);
        if (fstat(dirFd, &gListing.folder) != 0) return errno;
        gListing.trusted = false;
        if (int err = dvreg::ListSubkeys(dirFd, &gListing.subkeys)) return err;
        // Any change after the stat above stamps the folder at least at listedAt.
        long long unchangedNs = dvreg::Nanoseconds(listedAt) - dvreg::Nanoseconds(gListing.folder.st_ctim);
        gListing.trusted = unchangedNs > kTimestampMarginNs;
    }
    *found = index < gListing.subkeys.size();
    if (*found) *subkey = gListing.subkeys[index];
    return 0;
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (!lpSubKey || dwOptions != REG_OPTION_NON_VOLATILE) {
        if (phkResult) *phkResult = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    bool created = false;
    LSTATUS status = OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, &created);
    if (status == ERROR_SUCCESS && lpdwDisposition) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return status;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData)
{
    std::string_view name = lpValueName ? lpValueName : "";
    if (Reserved != 0 || name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData) return ERROR_NOACCESS;
    return ModifyValues(hKey, [&](std::vector<dvreg::Value>* values) {
        std::vector<BYTE> data(lpData, lpData + cbData);
        for (dvreg::Value& v : *values) {
            if (dvreg::SameName(v.name, name)) {
                v.type = dwType;
                v.data = std::move(data);
                return ERROR_SUCCESS;
            }
        }
        values->push_back(dvreg::Value{std::string(name), dwType, std::move(data)});
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    std::string_view name = lpValueName ? lpValueName : "";
    return ModifyValues(hKey, [&](std::vector<dvreg::Value>* values) {
        for (auto it = values->begin(); it != values->end(); ++it) {
            if (dvreg::SameName(it->name, name)) {
                values->erase(it);
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LSTATUS status = ResolveLive(hKey, KEY_QUERY_VALUE, &ref);
    if (status != ERROR_SUCCESS) return status;
    std::vector<dvreg::Value> values;
    {
        dvreg::FolderLock lock(ref.fd, true);
        if (lock.error) return FromErrno(lock.error);
        if (int err = dvreg::ReadValues(ref.fd, &values)) return FromErrno(err);
    }
    const dvreg::Value* value = FindValue(values, lpValueName ? lpValueName : "");
    if (!value) return ERROR_FILE_NOT_FOUND;
    DWORD size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, value->data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LSTATUS status = ResolveLive(hKey, KEY_ENUMERATE_SUB_KEYS, &ref);
    if (status != ERROR_SUCCESS) return status;
    dvreg::Subkey sub;
    bool found = false;
    if (int err = ListedSubkey(ref.fd, dwIndex, &sub, &found)) return FromErrno(err);
    if (!found) return ERROR_NO_MORE_ITEMS;
    if (sub.name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, sub.name.c_str(), sub.name.size() + 1);
    *lpcchName = static_cast<DWORD>(sub.name.size());
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
    if (lpftLastWriteTime) {
        struct stat st;
        ULONGLONG ticks = 0;
        if (fstatat(ref.fd, sub.folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            // 100-ns intervals since 1601-01-01.
            ticks = (static_cast<ULONGLONG>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                    static_cast<ULONGLONG>(st.st_mtim.tv_nsec) / 100;
        }
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(ticks);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    }
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    std::vector<std::string_view> parts;
    LSTATUS status = SplitPath(lpSubKey, &parts);
    if (status != ERROR_SUCCESS) return status;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    std::string_view leaf = parts.back();
    parts.pop_back();
    KeyRef parent;
    status = ResolveLive(hKey, 0, &parent);
    if (status == ERROR_SUCCESS) status = Walk(&parent, parts, false, nullptr);
    if (status != ERROR_SUCCESS) return status;
    dvreg::FolderLock lock(parent.fd);
    if (lock.error) return FromErrno(lock.error);
    dvreg::Subkey sub;
    if (int err = dvreg::LookUpSubkey(parent.fd, leaf, &sub)) return FromErrno(err);
    if (int err = dvfaults::Check(dvfaults::kRegistryDelete)) return FromErrno(err);
    dvreg::FolderState before;
    bool known = dvreg::ReadFolderState(parent.fd, &before) == 0;
    int err = dvreg::RemoveSubkeyFolder(parent.fd, sub);
    if (!err && known) dvreg::NoteSubkeyChange(parent.fd, before, sub, false);
    return FromErrno(err);
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(gHandlesLock);
        if (!hKey || !gHandles.erase(hKey)) return ERROR_INVALID_HANDLE;
    }
    int err = close(hKey->fd) != 0 ? errno : 0;
    delete hKey;
    return FromErrno(err);
}

LSTATUS RegFlushKey(HKEY hKey)
{
    KeyRef ref;
    LSTATUS status = ResolveLive(hKey, 0, &ref);
    if (status != ERROR_SUCCESS) return status;
    if (int err = dvfaults::Check(dvfaults::kRegistryFlush)) return FromErrno(err);
    return FromErrno(dvreg::SyncKeyFolder(ref.fd));
}
