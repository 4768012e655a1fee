// The database behind the registry: registry.db in the state folder, one
// SQLite database in WAL mode shared by the server, its commands and the
// operator's tools. Keys and values are rows:
//
//   keys(id, parent, name, folded, path)   parent 0 is HKEY_LOCAL_MACHINE
//   vals(key, folded, name, type, data)
//
// name keeps a key's or value's own spelling; folded is the name with ASCII
// letters in upper case, by which names are compared and subkeys sorted; path
// is the folded names from the root joined by '\', so that a key is found in
// one look-up however deep it lies.
//
// Each process has one connection, used under the registry lock by one thread
// at a time. While it makes calls, a process holds the database for itself
// (see HoldDatabase), and lets it go after a short pause. Every change is committed when its call returns: the log (the
// -wal file) then holds it in the kernel's cache, where a kill of the process
// cannot reach it; FlushLog makes every change committed before it durable
// against a power loss with one sync of the log.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/posix/win32_registry.h"

namespace dvreg {

enum Statement {
    kFindKey,          // ?1 path -> id
    kKeyExists,        // ?1 id
    kAddKey,           // ?1 parent, ?2 name, ?3 folded, ?4 path
    kHasSubkeys,       // ?1 id
    kRemoveKey,        // ?1 id
    kRemoveKeyValues,  // ?1 id
    kSetValue,         // ?1 key, ?2 folded, ?3 name, ?4 type, ?5 data; no change when the key is gone
    kRemoveValue,      // ?1 key, ?2 folded
    kQueryValue,       // ?1 key, ?2 folded -> type, data
    kSubkeyAt,         // ?1 parent, ?2 index -> name, folded
    kSubkeyAfter,      // ?1 parent, ?2 folded -> name, folded
    kValueAt,          // ?1 key, ?2 index -> name, type, data
    kBegin,
    kCommit,
    kRollback,
    kStatementCount
};

// Names compare as their folded forms: ASCII letters without regard to case,
// every other byte as it is.
std::string Fold(std::string_view name);
// The folded path of a key below the key at parentPath ("" for the root).
std::string ChildPath(std::string_view parentPath, std::string_view name);

// Held for every call that reaches the database.
std::unique_lock<std::mutex> LockRegistry();

// Under the lock: the database of the current state folder, opened on first
// use (made, with the import of an earlier folder store's tree, when there is
// none). ERROR_REGISTRY_CORRUPT, for every call, when it cannot be opened, is
// damaged or its import failed: nothing starts with an empty registry.
LSTATUS OpenDatabase();
// Under the lock, after OpenDatabase: the database held for this process
// alone, so that a call takes no file lock of its own and what the process
// knows of the database stays true; ERROR_LOCK_VIOLATION when another process
// held it for the whole busy timeout. Other processes wait until the holder
// has made no call for a short while.
LSTATUS HoldDatabase();
// Changes with every hold; 0 while the database is not held. What a process
// remembers of its keys holds only while this stays the same. Readable
// without the lock.
uint64_t KnowledgeEpoch();
// Under the lock, after OpenDatabase: the statement, ready to bind.
sqlite3_stmt* Prepared(Statement statement);
// Under the lock: a statement's step, retried while another process holds the
// database for longer than the busy timeout allows only in the rarest case.
int Step(sqlite3_stmt* statement);
// Under the lock: the status of a failed SQLite call; damage found in the
// database fails every later call too.
LSTATUS StatusOf(int result);
// Which opened database a handle belongs to: one per state folder used.
uint64_t DatabaseSerial();
// Under the lock, while the database is held: changes whenever the database
// may have changed, by this process or another, since the last time it was
// asked.
struct ChangeStamp {
    uint64_t epoch = 0;
    sqlite3_int64 changes = -1;
    bool operator==(const ChangeStamp& other) const = default;
};
ChangeStamp CurrentStamp();

// A flush in two steps, so that its sync holds nobody up: under the lock,
// a descriptor of what must be synced; then, without the lock, the sync.
// Every PrepareFlush that succeeds is followed by its FinishFlush; the hold
// is kept between the two.
struct LogSync {
    int fd = -1;
    int folderFd = -1;
    std::string path;
};
LSTATUS PrepareFlush(LogSync* sync);
LSTATUS FinishFlush(LogSync* sync);

}  // namespace dvreg
