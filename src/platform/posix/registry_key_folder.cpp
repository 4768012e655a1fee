#include "platform/posix/registry_key_folder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace dvreg {
namespace {

const char kValueFile[] = ".values.reg";
// The value file's previous version, rewritten for the next change rather than
// a new file made and the old one deleted: on a file system without a journal
// every inode deleted in the last minutes slows the next creations down.
const char kSpareFile[] = ".values.reg.spare";
// Set on a value file written without a data sync since its key's last flush;
// only such a file may be replaced without one.
const char kUnflushedMark[] = "user.dorvane.unflushed";
// On a key folder: counts the changes of its subkeys made through the registry.
const char kGenerationAttribute[] = "user.dorvane.generation";
// A removed key's folder is first renamed to this prefix and a unique suffix,
// out of every look-up, so that a process killed while emptying it leaves no
// half-removed key behind.
const char kRemovedPrefix[] = ".removed.";
// Value files larger than this are not ours: a key holds a handful of small values.
const off_t kMaxValueFileSize = 64 * 1024 * 1024;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsLayerFile(std::string_view entry)
{
    return entry.substr(0, sizeof kValueFile - 1) == kValueFile;
}

bool IsRemovedFolder(std::string_view entry)
{
    return entry.substr(0, sizeof kRemovedPrefix - 1) == kRemovedPrefix;
}

std::atomic<unsigned> gRemovedCounter{0};

int ReopenFolder(int dirFd) { return openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// Calls fn(entryName, isFolder) for every entry but "." and "..".
template <typename Fn>
int ForEachEntry(int dirFd, Fn fn)
{
    int fd = ReopenFolder(dirFd);
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        int err = errno;
        close(fd);
        return err;
    }
    int result = 0;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        bool isFolder = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isFolder = fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        result = fn(name, isFolder);
        if (result) break;
        errno = 0;
    }
    if (!result && errno) result = errno;
    closedir(dir);
    return result;
}

int WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Counts up the folder's generation after a change of its subkeys; where no
// generation can be kept, none is read either, so nothing trusts a stale one.
void CountSubkeyChange(int dirFd)
{
    uint64_t generation = 0;
    if (fgetxattr(dirFd, kGenerationAttribute, &generation, sizeof generation) < 0 && errno != ENODATA) return;
    ++generation;
    if (fsetxattr(dirFd, kGenerationAttribute, &generation, sizeof generation, 0) != 0) {
        fremovexattr(dirFd, kGenerationAttribute);
    }
}

}  // namespace

std::string KeyFolderName(std::string_view keyName)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < keyName.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(keyName[i]);
        if (c == '%' || c == '/' || c < 0x20 || c >= 0x7F || (i == 0 && c == '.')) {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool KeyNameFromFolder(std::string_view folder, std::string* keyName)
{
    keyName->clear();
    if (folder.empty() || folder.front() == '.') return false;
    for (size_t i = 0; i < folder.size(); ++i) {
        if (folder[i] != '%') {
            keyName->push_back(folder[i]);
            continue;
        }
        if (i + 2 >= folder.size()) return false;
        int hi = HexDigit(folder[i + 1]);
        int lo = HexDigit(folder[i + 2]);
        if (hi < 0 || lo < 0) return false;
        keyName->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    // Only the one spelling this layer writes names a key.
    return !keyName->empty() && keyName->find('\\') == std::string::npos && KeyFolderName(*keyName) == folder;
}

int ListSubkeys(int dirFd, std::vector<Subkey>* subkeys)
{
    subkeys->clear();
    int err = ForEachEntry(dirFd, [&](std::string_view entry, bool isFolder) {
        Subkey s;
        if (isFolder && KeyNameFromFolder(entry, &s.name)) {
            s.folder = entry;
            subkeys->push_back(std::move(s));
        }
        return 0;
    });
    std::sort(subkeys->begin(), subkeys->end(),
              [](const Subkey& a, const Subkey& b) { return NameLess(a.name, b.name); });
    return err;
}

int FindSubkeyAsSpelled(int dirFd, std::string_view name, Subkey* found)
{
    std::string exact = KeyFolderName(name);
    struct stat st;
    if (fstatat(dirFd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return ENOENT;
    found->name = name;
    found->folder = std::move(exact);
    return 0;
}

int ScanForSubkey(int dirFd, std::string_view name, Subkey* found)
{
    bool hit = false;
    int err = ForEachEntry(dirFd, [&](std::string_view entry, bool isFolder) {
        std::string candidate;
        if (isFolder && KeyNameFromFolder(entry, &candidate) && SameName(candidate, name)) {
            found->name = candidate;
            found->folder = entry;
            hit = true;
            return -1;
        }
        return 0;
    });
    if (hit) return 0;
    return err ? err : ENOENT;
}

bool IsDeletedFolder(int dirFd)
{
    struct stat st;
    return fstat(dirFd, &st) != 0 || st.st_nlink == 0;
}

FolderLock::FolderLock(int dirFd, bool shared)
{
    fd = ReopenFolder(dirFd);
    if (fd < 0) {
        error = errno;
        return;
    }
    while (flock(fd, shared ? LOCK_SH : LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = errno;
            return;
        }
    }
}

FolderLock::~FolderLock()
{
    // Closing the last descriptor of the open file description releases the lock.
    if (fd >= 0) close(fd);
}

int ReadValues(int dirFd, std::vector<Value>* values, bool* holdsNothingFlushed)
{
    values->clear();
    if (holdsNothingFlushed) *holdsNothingFlushed = true;
    int fd = openat(dirFd, kValueFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    std::string text;
    char chunk[8192];
    int err = 0;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
        if (static_cast<off_t>(text.size()) > kMaxValueFileSize) {
            err = EBADMSG;
            break;
        }
    }
    // The mark matters to a writer, and to a reader only of an empty file.
    bool marked = (holdsNothingFlushed || text.empty()) && fgetxattr(fd, kUnflushedMark, nullptr, 0) >= 0;
    close(fd);
    if (holdsNothingFlushed) *holdsNothingFlushed = marked;
    // A file written unsynced may come back empty after a power loss; it held
    // only unflushed values, so the key reads as it was before them.
    if (err || (text.empty() && marked)) return err;
    return ParseValueFile(text, values) ? 0 : EBADMSG;
}

int ReplaceValues(int dirFd, std::string_view keyPath, const std::vector<Value>& values, bool holdsNothingFlushed)
{
    // Written over and cut to size, never emptied first: ext4 writes a file
    // emptied and rewritten out to the disk when it is closed.
    int fd = openat(dirFd, kSpareFile, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    std::string text = FormatValueFile(keyPath, values);
    struct stat old;
    int err = fstat(fd, &old) != 0 ? errno : WriteAll(fd, text);
    off_t size = static_cast<off_t>(text.size());
    if (!err && old.st_size > size && ftruncate(fd, size) != 0) err = errno;
    // Put in place of a file that may hold flushed values, the new data must be
    // on the disk first: a rename that outlives a power loss without its file's
    // data would leave an empty file where flushed values were. Where the mark
    // cannot be set, the file is synced as if flushed. A spare last written
    // unsynced loses its mark first, and that loss is synced with the data: a
    // mark come back on flushed values would let them be replaced unsynced.
    bool unsynced = !err && holdsNothingFlushed &&
                    (fgetxattr(fd, kUnflushedMark, nullptr, 0) >= 0 || fsetxattr(fd, kUnflushedMark, "1", 1, 0) == 0);
    if (!err && !unsynced) {
        bool unmarked = fremovexattr(fd, kUnflushedMark) == 0;
        if (!unmarked && errno != ENODATA && errno != ENOTSUP) err = errno;
        if (!err && (unmarked ? fsync(fd) : fdatasync(fd)) != 0) err = errno;
    }
    if (close(fd) != 0 && !err) err = errno;
    if (err) return err;
    // The swap keeps the old file as the next spare.
    if (renameat2(dirFd, kSpareFile, dirFd, kValueFile, RENAME_EXCHANGE) == 0) return 0;
    // No value file yet, or a file system without exchange.
    if (errno != ENOENT && errno != EINVAL) return errno;
    return renameat(dirFd, kSpareFile, dirFd, kValueFile) != 0 ? errno : 0;
}

int SyncKeyFolder(int dirFd)
{
    // A writer between the unmarking and the sync would replace the file unsynced.
    FolderLock lock(dirFd);
    if (lock.error) return lock.error;
    int fd = openat(dirFd, kValueFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        int err = fremovexattr(fd, kUnflushedMark) != 0 && errno != ENODATA && errno != ENOTSUP ? errno : 0;
        if (!err && fsync(fd) != 0) err = errno;
        close(fd);
        if (err) return err;
    } else if (errno != ENOENT) {
        return errno;
    }
    return fsync(dirFd) != 0 ? errno : 0;
}

bool SameFolderState(const FolderState& a, const FolderState& b)
{
    return a.device == b.device && a.inode == b.inode && a.links == b.links && a.changedNs == b.changedNs &&
           a.generation == b.generation;
}

int ReadFolderState(int dirFd, FolderState* state)
{
    struct stat st;
    if (fstat(dirFd, &st) != 0) return errno;
    uint64_t generation = 0;
    if (fgetxattr(dirFd, kGenerationAttribute, &generation, sizeof generation) < 0 && errno != ENODATA) return errno;
    state->device = st.st_dev;
    state->inode = st.st_ino;
    state->links = st.st_nlink;
    state->changedNs = Nanoseconds(st.st_ctim);
    state->generation = generation;
    return 0;
}

int MakeSubkeyFolder(int parentFd, std::string_view name)
{
    std::string folder = KeyFolderName(name);
    if (mkdirat(parentFd, folder.c_str(), 0700) != 0) return errno;
    CountSubkeyChange(parentFd);
    return fsync(parentFd) != 0 ? errno : 0;
}

namespace {

// Empties and removes a folder that holds only the layer's files (EACCES
// otherwise): a removed key's, or one left renamed by a process killed while
// removing it.
int RemoveEmptiedFolder(int parentFd, const char* folder, int fd)
{
    std::vector<std::string> ours;
    int err = ForEachEntry(fd, [&](std::string_view entry, bool) {
        if (!IsLayerFile(entry)) return EACCES;
        ours.emplace_back(entry);
        return 0;
    });
    for (size_t i = 0; !err && i < ours.size(); ++i) {
        if (unlinkat(fd, ours[i].c_str(), 0) != 0 && errno != ENOENT) err = errno;
    }
    if (!err && unlinkat(parentFd, folder, AT_REMOVEDIR) != 0) err = errno;
    return err;
}

// Removes what a killed process left of its removals in the folder, before
// the folder itself is removed.
int RemoveLeftovers(int dirFd, const std::vector<std::string>& leftovers)
{
    for (const std::string& leftover : leftovers) {
        int fd = openat(dirFd, leftover.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return errno;
        int err = RemoveEmptiedFolder(dirFd, leftover.c_str(), fd);
        close(fd);
        if (err) return err;
    }
    return 0;
}

}  // namespace

int RemoveSubkeyFolder(int parentFd, const Subkey& subkey)
{
    int fd = openat(parentFd, subkey.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    int err;
    {
        // Waits for a writer of the key's values to finish.
        FolderLock lock(fd);
        err = lock.error;
        std::vector<std::string> leftovers;
        if (!err) {
            err = ForEachEntry(fd, [&](std::string_view entry, bool isFolder) {
                if (isFolder && IsRemovedFolder(entry)) leftovers.emplace_back(entry);
                return IsLayerFile(entry) || (isFolder && IsRemovedFolder(entry)) ? 0 : EACCES;
            });
        }
        if (!err) err = RemoveLeftovers(fd, leftovers);
        // Out of every look-up in one step; emptied and removed after.
        char removed[64];
        std::snprintf(removed, sizeof removed, "%s%ld.%u", kRemovedPrefix, static_cast<long>(getpid()),
                      gRemovedCounter.fetch_add(1));
        if (!err && renameat(parentFd, subkey.folder.c_str(), parentFd, removed) != 0) err = errno;
        if (!err) {
            CountSubkeyChange(parentFd);
            err = RemoveEmptiedFolder(parentFd, removed, fd);
        }
    }
    close(fd);
    if (!err && fsync(parentFd) != 0) err = errno;
    return err;
}

}  // namespace dvreg
