#include "platform/posix/registry_import.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/registry_database.h"

namespace dvreg {
namespace {

const char kValueFile[] = ".values.reg";
// Value files larger than this are not the store's: a key held a handful of small values.
const off_t kMaxValueFileSize = 64 * 1024 * 1024;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string FolderNameOf(std::string_view keyName)
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

// Only the one spelling the store wrote names a key.
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
    return !keyName->empty() && keyName->find('\\') == std::string::npos && FolderNameOf(*keyName) == folder;
}

bool Fail(std::string* failure, const std::string& path, const char* why)
{
    *failure = path + ": " + why;
    return false;
}

// A missing or empty value file is a key without values: the store left an
// empty one only where a power loss took values never flushed.
bool ReadValueFile(int dirFd, const std::string& folderPath, std::vector<Value>* values, std::string* failure)
{
    values->clear();
    std::string path = folderPath + "/" + kValueFile;
    int fd = openat(dirFd, kValueFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT || Fail(failure, path, strerror(errno));
    std::string text;
    char chunk[8192];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return Fail(failure, path, strerror(err));
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
        if (static_cast<off_t>(text.size()) > kMaxValueFileSize) {
            close(fd);
            return Fail(failure, path, "too large for a value file");
        }
    }
    close(fd);
    if (text.empty() || ParseValueFile(text, values)) return true;
    return Fail(failure, path, "not a well-formed value file");
}

struct Walk {
    const ImportTarget& target;
    std::string* failure;
    size_t keys = 0;
};

bool ImportFolder(Walk* walk, int dirFd, const std::string& folderPath, int64_t key, const std::string& keyPath)
{
    std::vector<Value> values;
    if (!ReadValueFile(dirFd, folderPath, &values, walk->failure)) return false;
    for (const Value& value : values) {
        if (!walk->target.addValue(key, value)) return Fail(walk->failure, folderPath, "its values cannot be stored");
    }
    int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd < 0 ? nullptr : fdopendir(listFd);
    if (!dir) {
        int err = errno;
        if (listFd >= 0) close(listFd);
        return Fail(walk->failure, folderPath, strerror(err));
    }
    std::vector<std::string> folders;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        // Links were never followed by the store; its own entries start with '.'.
        if (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN) folders.emplace_back(e->d_name);
        errno = 0;
    }
    int err = errno;
    closedir(dir);
    if (err) return Fail(walk->failure, folderPath, strerror(err));
    std::sort(folders.begin(), folders.end());
    for (const std::string& folder : folders) {
        std::string name;
        if (!KeyNameFromFolder(folder, &name)) continue;
        std::string subPath = folderPath + "/" + folder;
        int subFd = openat(dirFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (subFd < 0) {
            if (errno == ENOTDIR || errno == ELOOP) continue;
            return Fail(walk->failure, subPath, strerror(errno));
        }
        int64_t id = 0;
        bool ok = walk->target.addKey(key, keyPath, name, &id);
        if (!ok) Fail(walk->failure, subPath, "another key of the same name in other case, or the database refused it");
        ok = ok && ImportFolder(walk, subFd, subPath, id, ChildPath(keyPath, name));
        close(subFd);
        if (!ok) return false;
        ++walk->keys;
    }
    return true;
}

}  // namespace

bool ImportFolderTree(const std::string& tree, const ImportTarget& target, std::string* failure, size_t* keys)
{
    int fd = open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return Fail(failure, tree, strerror(errno));
    Walk walk{target, failure};
    bool ok = ImportFolder(&walk, fd, tree, 0, "");
    close(fd);
    *keys = walk.keys;
    return ok;
}

}  // namespace dvreg
