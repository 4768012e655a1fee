// The folders behind registry keys: one folder per key, named after the key,
// with the key's values in the file ".values.reg" inside it. Every function
// works on an open folder descriptor and returns an errno value (0 on success);
// EBADMSG means the key's value file cannot be parsed.
#pragma once

#include <string>
#include <string_view>
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
// ENOENT when no subkey has that name, in any case.
int FindSubkey(int dirFd, std::string_view name, Subkey* found);
// Only the subkey spelled exactly so; ENOENT (for any failure) says nothing
// about other spellings.
int FindSubkeyAsSpelled(int dirFd, std::string_view name, Subkey* found);

// A deleted key's folder is gone; its open descriptors see no links.
bool IsDeletedFolder(int dirFd);

// An exclusive advisory lock on a key folder, across processes and threads
// (each lock opens the folder anew, so each has its own open file description).
struct FolderLock {
    int fd = -1;
    int error = 0;
    explicit FolderLock(int dirFd);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
};

// A missing value file, or an empty one written unsynced, is a key without values.
int ReadValues(int dirFd, std::vector<Value>* values);
// Writes a temporary file and renames it over the value file, so a crash of
// the process leaves the old or the new values. The new file's data reaches
// the disk before the rename whenever the old file may hold flushed values, so
// a power loss never loses a flushed value either; a file that holds nothing
// flushed yet (the key's first values, until its flush) is replaced without
// that sync and carries a mark saying so. Call under the folder's lock.
int ReplaceValues(int dirFd, std::string_view keyPath, const std::vector<Value>& values);
// Makes the value file and the folder's entries durable and clears the file's
// unflushed mark. Takes the folder's lock.
int SyncKeyFolder(int dirFd);

// Creates the subkey folder and makes its entry durable. Call under the parent's lock.
int MakeSubkeyFolder(int parentFd, std::string_view name);
// Removes a subkey that has none of its own (EACCES otherwise) and makes the
// removal durable. Call under the parent's lock.
int RemoveSubkeyFolder(int parentFd, const Subkey& subkey);

}  // namespace dvreg
