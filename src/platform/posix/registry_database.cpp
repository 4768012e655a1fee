#include "platform/posix/registry_database.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

#include "platform/posix/registry_import.h"
#include "platform/posix/state_dir.h"
#include "platform/posix/win32_types.h"

// What a flush promises, and why one sync of the log keeps it.
//
// The connection runs in WAL mode with synchronous=NORMAL: a commit appends
// its pages to registry.db-wal with write() and returns without a sync, so a
// change survives a kill of the process the moment its call returns (the
// kernel holds it) but not yet a power loss. The log is kept in one file for
// the database's life (SQLITE_FCNTL_PERSIST_WAL; no connection of ours ever
// deletes it), which lets a flush sync it through a descriptor of its own,
// outside the registry lock, while other threads go on committing.
//
// A change committed before the flush took the lock is then either
//  - still in the log: written through the same inode the flush syncs
//    (fdatasync covers every page written before it, whoever wrote it); or
//  - copied into registry.db by a checkpoint, which syncs the log before it
//    copies and the database after, and only then lets a writer start the log
//    again from its beginning over those frames.
// So after the sync every earlier change is on the disk, in the log or in the
// database. A log whose inode changed (deleted by a tool that does not keep it,
// then made anew) is reopened; the first sync of each log inode this process
// sees also syncs the folder, so that a newly made log's entry is durable. The
// database file itself is made under another name, synced and renamed into
// place, then the folder synced, so it never appears half made.
//
// A process holds the database while it makes calls: the first call after a
// pause opens a connection, switches it to exclusive locking and takes the
// database's exclusive lock, which SQLite then keeps across transactions; a
// thread of the registry closes the connection once no call has come for
// kIdleHold. A held call takes no file lock and reads no lock state from the
// shared memory: a value written costs its log pages' writes alone. Nothing of
// the durability above changes (each commit is still in the log when its call
// returns). The connection is closed, not only switched back, because in WAL
// mode every open connection keeps a shared lock on the database file, which
// would keep every other process from ever holding it. A process that finds
// the database held closes its own connection and tries again after a short
// sleep, until kBusyTimeout has passed. While it waits it marks itself in
// registry.waiting (a shared lock on its first byte); a holder that has had
// the database for kFairShare and finds the mark lets it go and leaves it to
// the waiter for a moment, so that a process that never pauses (a server
// granting without a break) does not shut out an operator's command. What a
// process knows of the database (its keys' ids) is kept within one hold only.
//
// Checkpoints sync, so none runs on the write path: automatic checkpoints are
// off; the thread that lets the database go checkpoints a log of more than
// kCheckpointFrames first, while the process pauses, and empties it, since
// the next connection to open reads every frame of it; a flush checkpoints a log
// grown beyond kBusyCheckpointFrames during a long burst of calls, after its
// sync. Only a log grown far beyond that, in a process that never flushes nor
// pauses, is checkpointed by the commit that grew it. Every checkpoint runs on
// the connection that holds the database: while it is held no other may run
// one, since the holder restarts the log without asking other connections.
//
// A sync that fails may leave the kernel having dropped the pages it could not
// write; a later sync would then succeed without them. Every later flush of
// the process therefore fails too.

namespace dvreg {
namespace {

const int kSchemaVersion = 1;
const char kSchema[] =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, name BLOB NOT NULL,"
    " folded BLOB NOT NULL, path BLOB NOT NULL UNIQUE);"
    "CREATE INDEX subkeys ON keys(parent, folded);"
    "CREATE TABLE vals(key INTEGER NOT NULL, folded BLOB NOT NULL, name BLOB NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID;"
    "PRAGMA user_version=1;";

const char* const kSql[kStatementCount] = {
    "SELECT id FROM keys WHERE path=?1",
    "SELECT 1 FROM keys WHERE id=?1",
    "INSERT INTO keys(parent, name, folded, path) VALUES(?1, ?2, ?3, ?4)",
    "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1",
    "DELETE FROM keys WHERE id=?1",
    "DELETE FROM vals WHERE key=?1",
    "INSERT INTO vals(key, folded, name, type, data) SELECT ?1, ?2, ?3, ?4, ?5"
    " WHERE ?1=0 OR EXISTS(SELECT 1 FROM keys WHERE id=?1)"
    " ON CONFLICT(key, folded) DO UPDATE SET type=excluded.type, data=excluded.data",
    "DELETE FROM vals WHERE key=?1 AND folded=?2",
    "SELECT type, data FROM vals WHERE key=?1 AND folded=?2",
    "SELECT name, folded FROM keys WHERE parent=?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    "SELECT name, folded FROM keys WHERE parent=?1 AND folded>?2 ORDER BY folded LIMIT 1",
    "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

// Another process may hold the database while it imports or writes many keys.
const std::chrono::milliseconds kBusyTimeout(30000);
// The sleeps between two attempts to hold it, growing from the first to the last.
const int kFirstRetrySleepUs = 200;
const int kLastRetrySleepUs = 10000;
// How long a holder keeps the database when another process waits for it,
// how often it looks, and for how long it then stands back.
const std::chrono::milliseconds kFairShare(100);
const std::chrono::milliseconds kWaiterCheckInterval(5);
const std::chrono::milliseconds kStandBack(50);
// A snapshot overtaken by another process's commit is retried at once; this
// many times means something is wrong.
const int kSnapshotRetries = 1000;
// Log sizes, in pages, at which a pause, a flush and a commit checkpoint.
const int kCheckpointFrames = 2000;
const int kBusyCheckpointFrames = 131072;
const int kForcedCheckpointFrames = 262144;
// How long a process keeps the database after its last call.
const std::chrono::milliseconds kIdleHold(20);

struct Connection {
    bool opened = false;
    std::string folder;
    std::string path;
    uint64_t serial = 0;
    sqlite3* db = nullptr;
    sqlite3_stmt* statements[kStatementCount] = {};
    LSTATUS failure = ERROR_SUCCESS;
    int logFd = -1;
    dev_t logDevice = 0;
    ino_t logInode = 0;
    bool held = false;
    int flushes = 0; // syncs under way, outside the lock
    std::chrono::steady_clock::time_point lastCall;
    std::chrono::steady_clock::time_point heldSince;
    std::chrono::steady_clock::time_point nextWaiterCheck;
    int waitingFd = -1;
};

std::mutex gLock;
Connection gConnection;
uint64_t gSerial = 0;
uint64_t gEpoch = 1;
// gEpoch while the database is held, 0 while not: for readers without the lock.
std::atomic<uint64_t> gHeldEpoch{0};
std::atomic<int> gLogFrames{0};
std::atomic<bool> gSyncFailed{false};

void Say(int priority, const std::string& text)
{
    std::fprintf(stderr, "dorvane registry: %s\n", text.c_str());
    syslog(priority, "registry: %s", text.c_str());
}

int OnCommit(void*, sqlite3* db, const char*, int frames)
{
    gLogFrames.store(frames, std::memory_order_relaxed);
    if (frames >= kForcedCheckpointFrames) sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
}

// Closes the connection, letting the database go; the process's view of the
// state folder stays.
void CloseDatabase()
{
    Connection& c = gConnection;
    // Before the lock goes: from then on another process may change the database.
    gHeldEpoch.store(0, std::memory_order_release);
    for (sqlite3_stmt*& s : c.statements) {
        sqlite3_finalize(s);
        s = nullptr;
    }
    if (c.db) sqlite3_close_v2(c.db);
    c.db = nullptr;
    c.held = false;
}

void CloseConnection()
{
    Connection& c = gConnection;
    CloseDatabase();
    if (c.logFd >= 0) close(c.logFd);
    c.logFd = -1;
    if (c.waitingFd >= 0) close(c.waitingFd);
    c.waitingFd = -1;
    c.opened = false;
}

int OpenConnection(const std::string& path, sqlite3** db)
{
    int rc = sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) sqlite3_extended_result_codes(*db, 1);
    return rc;
}

// The settings every connection of ours runs with; its result, with *why set on failure.
int Configure(sqlite3* db, std::string* why)
{
    int on = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &on);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    char* error = nullptr;
    int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, &error);
    if (rc != SQLITE_OK) *why = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    return rc;
}

// SQLITE_ROW with *number, or the failure with *why.
int QueryNumber(sqlite3* db, const char* sql, sqlite3_int64* number, std::string* why)
{
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) *number = sqlite3_column_int64(s, 0);
    if (rc != SQLITE_ROW) *why = sqlite3_errmsg(db);
    sqlite3_finalize(s);
    return rc;
}

bool Execute(sqlite3* db, const char* sql, std::string* why)
{
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) *why = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

bool BindText(sqlite3_stmt* s, int index, std::string_view text)
{
    return sqlite3_bind_blob(s, index, text.empty() ? "" : text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

// Writes the earlier store's tree into the new database, inside its one transaction.
bool ImportTree(sqlite3* db, const std::string& tree, size_t* keys, std::string* why)
{
    sqlite3_stmt* addKey = nullptr;
    sqlite3_stmt* addValue = nullptr;
    sqlite3_prepare_v2(db, kSql[kAddKey], -1, &addKey, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO vals(key, folded, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)", -1,
                       &addValue, nullptr);
    ImportTarget target;
    target.addKey = [&](int64_t parent, const std::string& parentPath, std::string_view name, int64_t* id) {
        sqlite3_reset(addKey);
        sqlite3_bind_int64(addKey, 1, parent);
        bool ok = BindText(addKey, 2, name) && BindText(addKey, 3, Fold(name)) &&
                  BindText(addKey, 4, ChildPath(parentPath, name)) && sqlite3_step(addKey) == SQLITE_DONE;
        *id = sqlite3_last_insert_rowid(db);
        return ok;
    };
    target.addValue = [&](int64_t key, const Value& value) {
        sqlite3_reset(addValue);
        sqlite3_bind_int64(addValue, 1, key);
        sqlite3_bind_int64(addValue, 4, value.type);
        std::string_view data(reinterpret_cast<const char*>(value.data.data()), value.data.size());
        return BindText(addValue, 2, Fold(value.name)) && BindText(addValue, 3, value.name) &&
               BindText(addValue, 5, data) && sqlite3_step(addValue) == SQLITE_DONE;
    };
    bool ok = addKey && addValue && ImportFolderTree(tree, target, why, keys);
    if (!addKey || !addValue) *why = sqlite3_errmsg(db);
    sqlite3_finalize(addKey);
    sqlite3_finalize(addValue);
    return ok;
}

// Makes the database under a name of its own, with the earlier store's tree
// imported when there is one, and renames it into place: a kill on the way
// leaves no database, and the next opener starts again.
bool MakeDatabase(const std::string& folder, const std::string& path, int folderFd, std::string* why)
{
    std::string made = path + ".new";
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((made + suffix).c_str());
    int fd = open(made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || fchmod(fd, 0600) != 0) {
        *why = made + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    std::string tree = folder + "/registry";
    struct stat st;
    bool importing = lstat(tree.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    size_t keys = 0;
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(made.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK;
    if (!ok) *why = made + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    // Synced whole below, before it takes its name.
    // Small pages: a change rewrites a page whole into the log, and a flush syncs what the log holds.
    ok = ok && Execute(db, "PRAGMA page_size=1024; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;", why) &&
         Execute(db, kSchema, why) && (!importing || ImportTree(db, tree, &keys, why)) &&
         Execute(db, "COMMIT; PRAGMA journal_mode=WAL;", why);
    sqlite3_close_v2(db);
    if (ok && fsync(fd) != 0) {
        *why = made + ": " + strerror(errno);
        ok = false;
    }
    close(fd);
    if (ok && (rename(made.c_str(), path.c_str()) != 0 || fsync(folderFd) != 0)) {
        *why = path + ": " + strerror(errno);
        ok = false;
    }
    if (!ok) {
        unlink(made.c_str());
        return false;
    }
    if (!importing) return true;
    // Set aside, never deleted: the operator decides when the old tree may go.
    std::string aside = folder + "/registry.imported";
    for (int n = 2; lstat(aside.c_str(), &st) == 0; ++n) aside = folder + "/registry.imported." + std::to_string(n);
    if (rename(tree.c_str(), aside.c_str()) != 0 || fsync(folderFd) != 0) {
        Say(LOG_WARNING, "imported " + tree + " into " + path + " but could not rename it aside: " + strerror(errno));
        return true;
    }
    Say(LOG_INFO, "imported " + std::to_string(keys) + " keys of the earlier folder store from " + tree + " into " +
                      path + "; the folders are kept as " + aside);
    return true;
}

// One process makes the database at a time, across processes.
bool MakeDatabaseOnce(const std::string& folder, const std::string& path, std::string* why)
{
    int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        *why = folder + ": " + strerror(errno);
        return false;
    }
    while (flock(folderFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st;
    bool ok = stat(path.c_str(), &st) == 0 || MakeDatabase(folder, path, folderFd, why);
    close(folderFd);
    return ok;
}

void Unusable(const std::string& why)
{
    Say(LOG_ERR, "cannot be used, every registry call fails with ERROR_REGISTRY_CORRUPT: " + why);
}

// The state folder and its database file, made when missing.
LSTATUS Prepare(Connection* c)
{
    std::string why;
    if (int err = dvstate::MakePrivateDirs(c->folder)) {
        why = c->folder + ": " + strerror(err);
    } else {
        struct stat st;
        bool exists = stat(c->path.c_str(), &st) == 0;
        if (!exists && errno != ENOENT) why = c->path + ": " + strerror(errno);
        if (why.empty() && !exists) MakeDatabaseOnce(c->folder, c->path, &why);
        std::string waiting = c->folder + "/registry.waiting";
        c->waitingFd = open(waiting.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (why.empty() && c->waitingFd < 0) why = waiting + ": " + strerror(errno);
    }
    if (why.empty()) return ERROR_SUCCESS;
    Unusable(why);
    return ERROR_REGISTRY_CORRUPT;
}

bool Busy(int rc) { return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED; }

// The mark of a process waiting for the database is a lock of the first byte
// of registry.waiting; a process's own lock never hides another's, and the
// kernel drops it with the process.
struct flock WaitingByte(short type)
{
    struct flock byte = {};
    byte.l_type = type;
    byte.l_whence = SEEK_SET;
    byte.l_len = 1;
    return byte;
}

void MarkWaiting(bool waiting)
{
    struct flock mark = WaitingByte(waiting ? F_RDLCK : F_UNLCK);
    fcntl(gConnection.waitingFd, F_SETLK, &mark);
}

bool OthersWaiting()
{
    struct flock probe = WaitingByte(F_WRLCK);
    return fcntl(gConnection.waitingFd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// Opens the connection and checks that the file is our registry; its result,
// with *why set when it is not.
int Connect(Connection* c, std::string* why)
{
    int rc = OpenConnection(c->path, &c->db);
    if (rc != SQLITE_OK) {
        *why = c->db ? sqlite3_errmsg(c->db) : sqlite3_errstr(rc);
        return rc;
    }
    sqlite3_int64 tables = 0;
    sqlite3_int64 version = 0;
    // Read in normal locking mode, which opens the log with its shared index
    // before the connection turns exclusive.
    rc = QueryNumber(c->db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')",
                     &tables, why);
    if (rc == SQLITE_ROW) rc = QueryNumber(c->db, "PRAGMA user_version", &version, why);
    if (rc != SQLITE_ROW) return rc;
    if (tables != 2 || version != kSchemaVersion) {
        // Checked before anything is written: an empty file must not become an empty registry.
        *why = "not a registry database of this version";
        return SQLITE_NOTADB;
    }
    rc = Configure(c->db, why);
    if (rc == SQLITE_OK) sqlite3_wal_hook(c->db, OnCommit, nullptr);
    return rc;
}

// Sets the locking mode; never a prepared statement kept for later, since the
// mode is set as the statement is prepared, not as it runs.
int SetLockingMode(const char* sql) { return sqlite3_exec(gConnection.db, sql, nullptr, nullptr, nullptr); }

// Steps a statement to its end; its last result.
int RunToEnd(Statement statement)
{
    sqlite3_stmt* s = Prepared(statement);
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW) rc = Step(s);
    if (s) sqlite3_reset(s);
    return rc;
}

// Under the lock: a checkpoint of the connection's log, in the mode given.
// Only an emptied log is short: a log copied whole keeps its frames until the
// next write starts it again, and a connection that opens reads all of them.
void Checkpoint(int mode)
{
    if (sqlite3_wal_checkpoint_v2(gConnection.db, nullptr, mode, nullptr, nullptr) == SQLITE_OK &&
        mode == SQLITE_CHECKPOINT_TRUNCATE) {
        gLogFrames.store(0, std::memory_order_relaxed);
    }
}

// Under the lock: other processes may use the database again.
void Release()
{
    Connection& c = gConnection;
    if (!c.held) return;
    // Emptied, not only copied: the next connection reads the whole log when it opens.
    if (gLogFrames.load(std::memory_order_relaxed) >= kCheckpointFrames) Checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
    CloseDatabase();
}

// The thread that lets the database go after a pause. A fork waits for it to
// end, so that a fork is one of no thread of ours; the process that goes on
// using the registry starts it again.
struct Keeper {
    std::condition_variable wake;
    std::thread thread;
    bool stopping = false;

    void Run()
    {
        std::unique_lock<std::mutex> lock(gLock);
        while (!stopping) {
            Connection& c = gConnection;
            auto now = std::chrono::steady_clock::now();
            // A flush's sync counts as a call: the process is not pausing.
            auto due = c.flushes > 0 ? now + kIdleHold : c.lastCall + kIdleHold;
            if (!c.held) {
                wake.wait(lock);
            } else if (now >= due) {
                Release();
            } else {
                wake.wait_until(lock, due);
            }
        }
    }
    // Under the lock, once the database is held.
    void Start()
    {
        if (thread.joinable()) {
            wake.notify_one();
            return;
        }
        thread = std::thread([this] { Run(); });
    }
    // Under the lock, which is released while it waits.
    void Stop(std::unique_lock<std::mutex>* lock)
    {
        if (!thread.joinable()) return;
        stopping = true;
        wake.notify_one();
        lock->unlock();
        thread.join();
        lock->lock();
        stopping = false;
    }
    ~Keeper()
    {
        std::unique_lock<std::mutex> lock(gLock);
        Stop(&lock);
    }
};
Keeper gKeeper;

// A connection must not cross a fork: each process opens its own. Forking
// while no thread is inside SQLite, with the connection closed, leaves SQLite
// nothing in the child that belongs to the parent.
void BeforeFork()
{
    std::unique_lock<std::mutex> lock(gLock);
    CloseConnection();
    gKeeper.Stop(&lock);
    lock.release();
}

void AfterFork() { gLock.unlock(); }

// The parent's flushes under way are not the child's.
void AfterForkInChild()
{
    gConnection.flushes = 0;
    gLock.unlock();
}

const bool gForkHandled = pthread_atfork(BeforeFork, AfterFork, AfterForkInChild) == 0;

}  // namespace

std::string Fold(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

std::string ChildPath(std::string_view parentPath, std::string_view name)
{
    std::string path(parentPath);
    if (!path.empty()) path.push_back('\\');
    path += Fold(name);
    return path;
}

std::unique_lock<std::mutex> LockRegistry()
{
    (void)gForkHandled;
    return std::unique_lock<std::mutex>(gLock);
}

LSTATUS OpenDatabase()
{
    Connection& c = gConnection;
    std::string folder = dvstate::StateDir();
    if (c.opened && c.folder == folder) return c.failure;
    CloseConnection();
    if (c.folder != folder || !c.serial) {
        c.folder = folder;
        c.serial = ++gSerial;
        gSyncFailed = false;
    }
    c.path = folder + "/registry.db";
    c.opened = true;
    c.failure = Prepare(&c);
    return c.failure;
}

sqlite3_stmt* Prepared(Statement statement)
{
    sqlite3_stmt*& s = gConnection.statements[statement];
    if (!s) sqlite3_prepare_v3(gConnection.db, kSql[statement], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    return s;
}

int Step(sqlite3_stmt* statement)
{
    for (int tries = 0;; ++tries) {
        int rc = statement ? sqlite3_step(statement) : SQLITE_NOMEM;
        if (rc != SQLITE_BUSY_SNAPSHOT || tries == kSnapshotRetries) return rc;
        sqlite3_reset(statement);
    }
}

LSTATUS StatusOf(int result)
{
    switch (result & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        Say(LOG_ERR, gConnection.path + " is damaged (" + sqlite3_errstr(result) +
                         "); every registry call fails with ERROR_REGISTRY_CORRUPT");
        CloseConnection();
        gConnection.opened = true;
        gConnection.failure = ERROR_REGISTRY_CORRUPT;
        return ERROR_REGISTRY_CORRUPT;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_LOCK_VIOLATION;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
}

uint64_t DatabaseSerial() { return gConnection.serial; }

// A hold kept longer than kFairShare while another process waits is let go.
bool KeepHold(Connection* c, std::chrono::steady_clock::time_point now)
{
    if (now - c->heldSince < kFairShare || now < c->nextWaiterCheck) return true;
    c->nextWaiterCheck = now + kWaiterCheckInterval;
    if (!OthersWaiting()) return true;
    Release();
    return false;
}

LSTATUS HoldDatabase()
{
    Connection& c = gConnection;
    auto start = std::chrono::steady_clock::now();
    c.lastCall = start;
    bool yielded = c.held && !KeepHold(&c, start);
    if (c.held) return ERROR_SUCCESS;
    auto standBackUntil = yielded ? start + kStandBack : start;
    bool marked = false;
    LSTATUS status = ERROR_SUCCESS;
    for (int sleepUs = kFirstRetrySleepUs;; sleepUs = std::min(2 * sleepUs, kLastRetrySleepUs)) {
        auto now = std::chrono::steady_clock::now();
        if (now >= start + kBusyTimeout) {
            status = ERROR_LOCK_VIOLATION;
            break;
        }
        // Just let go for a waiter: it gets the first chance.
        if (now < standBackUntil && OthersWaiting()) {
            usleep(static_cast<useconds_t>(kFirstRetrySleepUs));
            continue;
        }
        std::string why;
        int rc = c.db ? SQLITE_OK : Connect(&c, &why);
        // An empty write transaction in exclusive mode takes the locks, and SQLite keeps them.
        if (rc == SQLITE_OK) rc = SetLockingMode("PRAGMA locking_mode=EXCLUSIVE");
        if (rc == SQLITE_OK) rc = RunToEnd(kBegin);
        if (rc == SQLITE_DONE) rc = RunToEnd(kCommit);
        if (rc == SQLITE_DONE) {
            c.held = true;
            c.heldSince = std::chrono::steady_clock::now();
            // The time spent opening is no pause.
            c.lastCall = c.heldSince;
            ++gEpoch;
            gHeldEpoch.store(gEpoch, std::memory_order_release);
            gKeeper.Start();
            break;
        }
        if (c.db && !sqlite3_get_autocommit(c.db)) RunToEnd(kRollback);
        if (!Busy(rc)) {
            if (why.empty()) {
                status = StatusOf(rc);
                break;
            }
            if (marked) MarkWaiting(false);
            CloseConnection();
            c.opened = true;
            c.failure = ERROR_REGISTRY_CORRUPT;
            Unusable(c.path + ": " + why);
            return c.failure;
        }
        // Another process has it, or wants it too: let it have it.
        CloseDatabase();
        if (!marked) MarkWaiting(true);
        marked = true;
        usleep(static_cast<useconds_t>(sleepUs + getpid() % 97));
    }
    if (marked) MarkWaiting(false);
    return status;
}

uint64_t KnowledgeEpoch() { return gHeldEpoch.load(std::memory_order_acquire); }

ChangeStamp CurrentStamp() { return ChangeStamp{KnowledgeEpoch(), sqlite3_total_changes64(gConnection.db)}; }

LSTATUS PrepareFlush(LogSync* sync)
{
    Connection& c = gConnection;
    if (gSyncFailed) return ERROR_REGISTRY_IO_FAILED;
    std::string log = c.path + "-wal";
    struct stat now;
    if (stat(log.c_str(), &now) != 0) {
        if (errno != ENOENT) return static_cast<LSTATUS>(DvWin32ErrorFromErrno(errno));
        // Every change is in the database, checkpointed by whoever deleted the log.
        sync->fd = open(c.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (sync->fd < 0) return static_cast<LSTATUS>(DvWin32ErrorFromErrno(errno));
        ++c.flushes;
        return ERROR_SUCCESS;
    }
    bool newLog = c.logFd < 0 || now.st_dev != c.logDevice || now.st_ino != c.logInode;
    if (newLog) {
        if (c.logFd >= 0) close(c.logFd);
        c.logFd = open(log.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat opened;
        if (c.logFd < 0 || fstat(c.logFd, &opened) != 0) return static_cast<LSTATUS>(DvWin32ErrorFromErrno(errno));
        c.logDevice = opened.st_dev;
        c.logInode = opened.st_ino;
    }
    sync->fd = fcntl(c.logFd, F_DUPFD_CLOEXEC, 0);
    if (sync->fd < 0) return static_cast<LSTATUS>(DvWin32ErrorFromErrno(errno));
    if (newLog) sync->folderFd = open(c.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (newLog && sync->folderFd < 0) {
        int err = errno;
        close(sync->fd);
        // Seen again as new by the next flush, which then syncs the folder.
        close(c.logFd);
        c.logFd = -1;
        return static_cast<LSTATUS>(DvWin32ErrorFromErrno(err));
    }
    sync->path = c.path;
    ++c.flushes;
    return ERROR_SUCCESS;
}

LSTATUS FinishFlush(LogSync* sync)
{
    int err = 0;
    while (fdatasync(sync->fd) != 0 && !err) {
        if (errno != EINTR) err = errno;
    }
    if (!err && sync->folderFd >= 0 && fsync(sync->folderFd) != 0) err = errno;
    close(sync->fd);
    if (sync->folderFd >= 0) close(sync->folderFd);
    auto lock = LockRegistry();
    Connection& c = gConnection;
    --c.flushes;
    c.lastCall = std::chrono::steady_clock::now();
    if (err) {
        gSyncFailed = true;
        Say(LOG_ERR, "the log of " + sync->path + " could not be synced (" + strerror(err) +
                         "); every later flush of this process fails");
        return static_cast<LSTATUS>(DvWin32ErrorFromErrno(err));
    }
    if (gLogFrames.load(std::memory_order_relaxed) >= kBusyCheckpointFrames && c.held && c.path == sync->path) {
        Checkpoint(SQLITE_CHECKPOINT_PASSIVE);
    }
    return ERROR_SUCCESS;
}

}  // namespace dvreg
