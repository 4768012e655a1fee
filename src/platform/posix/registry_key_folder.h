// The folders behind registry keys: one folder per key, named after the key,
// with the key's values in the file ".values.reg" inside it. Every function
// works on an open folder descriptor and returns an errno value (0 on success);
// EBADMSG means the key's value file cannot be parsed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <time.h>
#include <vector>

#include "platform/posix/registry_value_file.h"

namespace dvreg {

// Key names become folder names with '%', '/', bytes outside printable ASCII and
// a leading '.' written as %XX, so no key folder starts with '.', the prefix of
// the layer's own files.
std::string KeyFolderName(std::string_view keyName);
bool KeyNameFromFolder(std::string_view folder, std::string* keyName);

struct Subkey {
    std::string name;
    std::string folder;
};

// Subkeys in case-insensitive order of their names.
int ListSubkeys(int dirFd, std::vector<Subkey>* subkeys);
// Reads the whole folder for a subkey of that name in any case; ENOENT when
// there is none.
int ScanForSubkey(int dirFd, std::string_view name, Subkey* found);
// Only the subkey spelled exactly so; ENOENT (for any failure) says nothing
// about other spellings.
int FindSubkeyAsSpelled(int dirFd, std::string_view name, Subkey* found);

// A deleted key's folder is gone; its open descriptors see no links.
bool IsDeletedFolder(int dirFd);

// An advisory lock on a key folder, across processes and threads (each lock
// opens the folder anew, so each has its own open file description): exclusive
// for writers, shared for readers of the value file.
struct FolderLock {
    int fd = -1;
    int error = 0;
    explicit FolderLock(int dirFd, bool shared = false);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
};

// A missing value file, or an empty one written unsynced, is a key without
// values. *holdsNothingFlushed (when asked) tells whether nothing in the file
// was ever promised durable: it is missing, or was written since the key's last
// flush without a sync.
int ReadValues(int dirFd, std::vector<Value>* values, bool* holdsNothingFlushed = nullptr);
// Writes the values into the spare file and swaps it with the value file, so a
// crash of the process leaves the old or the new values and the old file is the
// next spare. The new data reaches the disk before the swap unless the old file
// holds nothing flushed (holdsNothingFlushed, as ReadValues told it under the
// same lock): such a file is replaced without that sync and the new one carries
// a mark saying so. Call under the folder's lock; readers take it too, since the
// spare is rewritten in place.
int ReplaceValues(int dirFd, std::string_view keyPath, const std::vector<Value>& values, bool holdsNothingFlushed);
// Makes the value file and the folder's entries durable and clears the file's
// unflushed mark. Takes the folder's lock.
int SyncKeyFolder(int dirFd);

// What tells a change of a folder's subkeys: every change made through the
// registry, in any process, happens under the folder's lock and counts up a
// generation kept on the folder; its link count and change time also move with
// changes made by other means.
inline long long Nanoseconds(const timespec& t) { return (long long)t.tv_sec * 1000000000LL + t.tv_nsec; }

struct FolderState {
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
    long long changedNs = 0;
    uint64_t generation = 0;
};
bool SameFolderState(const FolderState& a, const FolderState& b);
// ENOTSUP where the file system keeps no user attributes.
int ReadFolderState(int dirFd, FolderState* state);

// Creates the subkey folder and makes its entry durable. Call under the parent's lock.
int MakeSubkeyFolder(int parentFd, std::string_view name);
// Removes a subkey that has none of its own (EACCES otherwise) and makes the
// removal durable. Call under the parent's lock.
int RemoveSubkeyFolder(int parentFd, const Subkey& subkey);

}  // namespace dvreg
