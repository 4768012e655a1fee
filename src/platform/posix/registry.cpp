// The registry API over the database of registry_database.h: each call takes
// the registry lock, and each change is one statement or one transaction.
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/posix/faults.h"
#include "platform/posix/handle.h"
#include "platform/posix/registry_database.h"
#include "platform/posix/registry_stamp.h"
#include "platform/win32.h"

struct HKEY__ {
    int64_t id;
    REGSAM access;
    std::string path;
    uint64_t database;
    HANDLE transaction; // NULL, or the transaction its values are set in
};

namespace {

using dvreg::Statement;

const size_t kMaxKeyName = 255;
const size_t kMaxValueName = 16383;
const REGSAM kViewFlags = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

// Open handles, under the registry lock.
std::unordered_set<HKEY> gHandles;

// A transaction: the values set through its keys, applied by its commit.
struct Transaction {
    DWORD kind = DV_HANDLE_KIND_TRANSACTION;
    bool active = true;
    struct Write {
        int64_t key;
        std::string path;
        std::string folded;
        std::string name;
        DWORD type;
        std::string data;
    };
    std::vector<Write> writes;
};
// Open transactions, under the registry lock.
std::unordered_set<Transaction*> gTransactions;

// Under the lock: the open, active transaction of a handle, or null.
Transaction* ActiveTransaction(HANDLE handle)
{
    auto* transaction = static_cast<Transaction*>(handle);
    return gTransactions.count(transaction) && transaction->active ? transaction : nullptr;
}

// Under the lock: ends the handle's active transaction and hands over its
// writes; false, with the last error set, when it has none.
bool EndTransaction(HANDLE handle, std::vector<Transaction::Write>* writes)
{
    Transaction* transaction = ActiveTransaction(handle);
    if (!transaction) {
        SetLastError(ERROR_TRANSACTION_NOT_ACTIVE);
        return false;
    }
    transaction->active = false;
    writes->swap(transaction->writes);
    return true;
}

// The keys this process has found or made, by folded path, so that opening a
// key again asks the database nothing: kept while the database is held and no
// other process has changed it since (dvreg::KnowledgeEpoch), and bounded.
struct KnownKeys {
    uint64_t epoch = 0;
    std::unordered_map<std::string, int64_t> byPath;
    std::unordered_set<int64_t> ids;

    // Under the lock: whether what is kept may be used; forgets it when not.
    bool Usable()
    {
        uint64_t now = dvreg::KnowledgeEpoch();
        if (now != epoch || byPath.size() >= kMaxKnownKeys) {
            byPath.clear();
            ids.clear();
            epoch = now;
        }
        return epoch != 0;
    }
    void Learn(const std::string& path, int64_t id)
    {
        if (!Usable()) return;
        byPath.emplace(path, id);
        ids.insert(id);
    }
    void Forget(const std::string& path, int64_t id)
    {
        byPath.erase(path);
        ids.erase(id);
    }
    static const size_t kMaxKnownKeys = 1 << 20;
};
KnownKeys gKnown;

// The subtrees that have been stamped, with this process's changes at or
// below each: few, never removed, their paths fixed once published.
struct WatchedSubtree {
    std::string path; // folded
    std::atomic<uint64_t> changes{0};
};
const size_t kMaxWatched = 8;
WatchedSubtree gWatched[kMaxWatched];
std::atomic<size_t> gWatchedCount{0};

// One of the two keys lies at or below the other.
bool OnOnePath(std::string_view a, std::string_view b)
{
    if (a.size() > b.size()) std::swap(a, b);
    return a.empty() || (b.substr(0, a.size()) == a && (b.size() == a.size() || b[a.size()] == '\\'));
}

// Under the lock, with every change of the key at path (folded): its own
// values, its creation or its removal.
void NoteChange(std::string_view path)
{
    size_t count = gWatchedCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        if (OnOnePath(gWatched[i].path, path)) gWatched[i].changes.fetch_add(1, std::memory_order_release);
    }
}

// A statement in use, reset and unbound when the call is done with it.
struct Query {
    sqlite3_stmt* s;
    explicit Query(Statement statement) : s(dvreg::Prepared(statement)) {}
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    ~Query()
    {
        if (!s) return;
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    Query& Number(int index, int64_t value)
    {
        if (s) sqlite3_bind_int64(s, index, value);
        return *this;
    }
    Query& Bytes(int index, std::string_view bytes)
    {
        // Never a null pointer: that would bind NULL, not an empty name or value.
        if (s) sqlite3_bind_blob(s, index, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()),
                                 SQLITE_STATIC);
        return *this;
    }
    int Step() { return dvreg::Step(s); }
    int Changes() const { return s ? sqlite3_changes(sqlite3_db_handle(s)) : 0; }
    std::string_view Column(int index) const
    {
        const char* bytes = static_cast<const char*>(sqlite3_column_blob(s, index));
        return std::string_view(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(s, index)));
    }
};

LSTATUS FromErrno(int err) { return static_cast<LSTATUS>(DvWin32ErrorFromErrno(err)); }

// The key a call works on, as its handle names it.
struct Key {
    int64_t id = 0;
    REGSAM access = 0;
    std::string path;
};

// Opens the database and finds the handle's key; the registry lock is held.
LSTATUS Resolve(HKEY hKey, Key* key)
{
    if (LSTATUS status = dvreg::OpenDatabase()) return status;
    if (hKey == HKEY_LOCAL_MACHINE) {
        *key = Key{0, KEY_ALL_ACCESS, ""};
        return dvreg::HoldDatabase();
    }
    // A handle opened on another state folder's database names nothing here.
    if (!hKey || !gHandles.count(hKey) || hKey->database != dvreg::DatabaseSerial()) return ERROR_INVALID_HANDLE;
    *key = Key{hKey->id, hKey->access, hKey->path};
    return dvreg::HoldDatabase();
}

LSTATUS Lives(int64_t id, bool* lives)
{
    *lives = true;
    if (id == 0 || (gKnown.Usable() && gKnown.ids.count(id))) return ERROR_SUCCESS;
    Query exists(dvreg::kKeyExists);
    int rc = exists.Number(1, id).Step();
    *lives = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : dvreg::StatusOf(rc);
}

// What a look-up that found nothing means: a key deleted since it was opened
// fails as on Windows; otherwise the name is not there.
LSTATUS Missing(int64_t id, LSTATUS notThere)
{
    bool lives = true;
    if (LSTATUS status = Lives(id, &lives)) return status;
    return lives ? notThere : ERROR_KEY_DELETED;
}

LSTATUS Live(const Key& key) { return Missing(key.id, ERROR_SUCCESS); }

LSTATUS FindKey(const std::string& path, int64_t* id)
{
    if (gKnown.Usable()) {
        auto known = gKnown.byPath.find(path);
        if (known != gKnown.byPath.end()) {
            *id = known->second;
            return ERROR_SUCCESS;
        }
    }
    Query find(dvreg::kFindKey);
    int rc = find.Bytes(1, path).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return dvreg::StatusOf(rc);
    *id = sqlite3_column_int64(find.s, 0);
    gKnown.Learn(path, *id);
    return ERROR_SUCCESS;
}

LSTATUS Run(Statement statement)
{
    int rc = Query(statement).Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : dvreg::StatusOf(rc);
}

// Runs body in one write transaction, committed only when it succeeds.
template <typename Body>
LSTATUS InTransaction(Body body)
{
    LSTATUS status = Run(dvreg::kBegin);
    if (status != ERROR_SUCCESS) return status;
    status = body();
    if (status == ERROR_SUCCESS) status = Run(dvreg::kCommit);
    if (status != ERROR_SUCCESS) Run(dvreg::kRollback);
    return status;
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

std::string PathBelow(const Key& key, const std::vector<std::string_view>& parts)
{
    std::string path = key.path;
    for (std::string_view part : parts) path = dvreg::ChildPath(path, part);
    return path;
}

// Makes every missing key of the path below key; *id is the last one's.
LSTATUS CreatePath(const Key& key, const std::vector<std::string_view>& parts, int64_t* id, bool* created)
{
    // Learnt once committed: a transaction rolled back made none of them.
    std::vector<std::pair<std::string, int64_t>> made;
    LSTATUS result = InTransaction([&]() -> LSTATUS {
        if (LSTATUS status = Live(key)) return status;
        int64_t parent = key.id;
        std::string path = key.path;
        for (std::string_view part : parts) {
            path = dvreg::ChildPath(path, part);
            LSTATUS status = FindKey(path, &parent);
            *created = status == ERROR_FILE_NOT_FOUND;
            if (!*created) {
                if (status != ERROR_SUCCESS) return status;
                continue;
            }
            Query add(dvreg::kAddKey);
            std::string folded = dvreg::Fold(part);
            int rc = add.Number(1, parent).Bytes(2, part).Bytes(3, folded).Bytes(4, path).Step();
            if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
            parent = sqlite3_last_insert_rowid(sqlite3_db_handle(add.s));
            made.emplace_back(path, parent);
        }
        *id = parent;
        return ERROR_SUCCESS;
    });
    if (result == ERROR_SUCCESS) {
        for (const auto& [path, madeId] : made) {
            gKnown.Learn(path, madeId);
            NoteChange(path);
        }
    }
    return result;
}

HKEY NewHandle(int64_t id, REGSAM access, std::string path, HANDLE transaction)
{
    HKEY key = new HKEY__{id, access & ~kViewFlags, std::move(path), dvreg::DatabaseSerial(), transaction};
    gHandles.insert(key);
    return key;
}

// A key opened below a key of a transaction belongs to the same one, as on Windows.
LSTATUS OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM access, bool create, PHKEY phkResult, bool* created,
                     HANDLE transaction = nullptr)
{
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::string_view> parts;
    LSTATUS status = SplitPath(lpSubKey, &parts);
    if (status != ERROR_SUCCESS) return status;
    auto lock = dvreg::LockRegistry();
    Key key;
    status = Resolve(hKey, &key);
    if (status != ERROR_SUCCESS) return status;
    std::string path = PathBelow(key, parts);
    int64_t id = key.id;
    status = parts.empty() ? Live(key) : FindKey(path, &id);
    if (status == ERROR_FILE_NOT_FOUND) {
        if (!create) return Missing(key.id, ERROR_FILE_NOT_FOUND);
        if (!(key.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        status = CreatePath(key, parts, &id, created);
    }
    if (status != ERROR_SUCCESS) return status;
    if (!transaction && hKey != HKEY_LOCAL_MACHINE) transaction = hKey->transaction;
    *phkResult = NewHandle(id, access, std::move(path), transaction);
    return ERROR_SUCCESS;
}

LSTATUS CreateKey(HKEY hKey, LPCSTR lpSubKey, DWORD options, REGSAM access, PHKEY phkResult, LPDWORD disposition,
                  HANDLE transaction)
{
    if (!lpSubKey || options != REG_OPTION_NON_VOLATILE) {
        if (phkResult) *phkResult = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    bool created = false;
    LSTATUS status = OpenOrCreate(hKey, lpSubKey, access, true, phkResult, &created, transaction);
    if (status == ERROR_SUCCESS && disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

// Under the lock: one value stored in its key's row; *stored is false when
// the key is gone. The SQLite result.
int StoreValue(int64_t key, std::string_view folded, std::string_view name, DWORD type, std::string_view data,
               bool* stored)
{
    Query set(dvreg::kSetValue);
    int rc = set.Number(1, key).Bytes(2, folded).Bytes(3, name).Number(4, type).Bytes(5, data).Step();
    *stored = set.Changes() != 0;
    return rc;
}

// The key of a handle that must allow access, for a change or a query.
LSTATUS ResolveFor(HKEY hKey, REGSAM access, Key* key)
{
    LSTATUS status = Resolve(hKey, key);
    if (status != ERROR_SUCCESS) return status;
    return (key->access & access) == access ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The subkey handed out last, so that a walk by index takes the next one in
// one look-up rather than counting from the first each time: valid while the
// database has not changed since.
struct Enumerated {
    uint64_t database = 0;
    int64_t parent = -1;
    DWORD index = 0;
    std::string folded;
    dvreg::ChangeStamp stamp;
};
Enumerated gEnumerated;

}  // namespace

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return CreateKey(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition, nullptr);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS RegCreateKeyTransactedA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                                const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition,
                                HANDLE hTransaction, PVOID)
{
    {
        auto lock = dvreg::LockRegistry();
        if (!ActiveTransaction(hTransaction)) {
            if (phkResult) *phkResult = nullptr;
            return ERROR_TRANSACTION_NOT_ACTIVE;
        }
    }
    return CreateKey(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition, hTransaction);
}

HANDLE CreateTransaction(LPSECURITY_ATTRIBUTES, LPGUID, DWORD, DWORD, DWORD, DWORD, LPWSTR)
{
    auto lock = dvreg::LockRegistry();
    auto* transaction = new Transaction;
    gTransactions.insert(transaction);
    return transaction;
}

BOOL CommitTransaction(HANDLE TransactionHandle)
{
    auto lock = dvreg::LockRegistry();
    // Ended either way: a commit that fails rolls the transaction back.
    std::vector<Transaction::Write> writes;
    if (!EndTransaction(TransactionHandle, &writes)) return FALSE;
    if (writes.empty()) return TRUE;
    LSTATUS status = dvreg::OpenDatabase();
    if (status == ERROR_SUCCESS) status = dvreg::HoldDatabase();
    if (status == ERROR_SUCCESS) {
        status = InTransaction([&]() -> LSTATUS {
            for (const Transaction::Write& write : writes) {
                // A key deleted since took its values with it.
                bool stored;
                int rc = StoreValue(write.key, write.folded, write.name, write.type, write.data, &stored);
                if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
            }
            return ERROR_SUCCESS;
        });
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return FALSE;
    }
    for (const Transaction::Write& write : writes) NoteChange(write.path);
    return TRUE;
}

BOOL RollbackTransaction(HANDLE TransactionHandle)
{
    auto lock = dvreg::LockRegistry();
    std::vector<Transaction::Write> dropped;
    return EndTransaction(TransactionHandle, &dropped);
}

BOOL DvRegistryCloseTransaction(HANDLE hTransaction)
{
    auto lock = dvreg::LockRegistry();
    auto* transaction = static_cast<Transaction*>(hTransaction);
    if (!gTransactions.erase(transaction)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete transaction;
    return TRUE;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData)
{
    std::string_view name = lpValueName ? lpValueName : "";
    if (Reserved != 0 || name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData) return ERROR_NOACCESS;
    auto lock = dvreg::LockRegistry();
    Key key;
    LSTATUS status = ResolveFor(hKey, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    if (int err = dvfaults::Check(dvfaults::kRegistryWrite)) return FromErrno(err);
    std::string folded = dvreg::Fold(name);
    std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
    if (hKey != HKEY_LOCAL_MACHINE && hKey->transaction) {
        Transaction* transaction = ActiveTransaction(hKey->transaction);
        if (!transaction) return ERROR_TRANSACTION_NOT_ACTIVE;
        transaction->writes.push_back({key.id, key.path, folded, std::string(name), dwType, std::string(data)});
        return ERROR_SUCCESS;
    }
    bool stored;
    int rc = StoreValue(key.id, folded, name, dwType, data, &stored);
    NoteChange(key.path);
    if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
    return stored ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    std::string_view name = lpValueName ? lpValueName : "";
    auto lock = dvreg::LockRegistry();
    Key key;
    LSTATUS status = ResolveFor(hKey, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    if (hKey != HKEY_LOCAL_MACHINE && hKey->transaction) return ERROR_NOT_SUPPORTED;
    if (int err = dvfaults::Check(dvfaults::kRegistryWrite)) return FromErrno(err);
    Query remove(dvreg::kRemoveValue);
    int rc = remove.Number(1, key.id).Bytes(2, dvreg::Fold(name)).Step();
    NoteChange(key.path);
    if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
    return remove.Changes() ? ERROR_SUCCESS : Missing(key.id, ERROR_FILE_NOT_FOUND);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    auto lock = dvreg::LockRegistry();
    Key key;
    LSTATUS status = ResolveFor(hKey, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    Query query(dvreg::kQueryValue);
    int rc = query.Number(1, key.id).Bytes(2, dvreg::Fold(lpValueName ? lpValueName : "")).Step();
    if (rc == SQLITE_DONE) return Missing(key.id, ERROR_FILE_NOT_FOUND);
    if (rc != SQLITE_ROW) return dvreg::StatusOf(rc);
    std::string_view data = query.Column(1);
    DWORD size = static_cast<DWORD>(data.size());
    if (lpType) *lpType = static_cast<DWORD>(sqlite3_column_int64(query.s, 0));
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
    auto lock = dvreg::LockRegistry();
    Key key;
    LSTATUS status = ResolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, &key);
    if (status != ERROR_SUCCESS) return status;
    Enumerated& last = gEnumerated;
    dvreg::ChangeStamp stamp = dvreg::CurrentStamp();
    bool next = last.database == dvreg::DatabaseSerial() && last.parent == key.id && last.stamp == stamp &&
                dwIndex > 0 && last.index == dwIndex - 1;
    Query query(next ? dvreg::kSubkeyAfter : dvreg::kSubkeyAt);
    query.Number(1, key.id);
    if (next) {
        query.Bytes(2, last.folded);
    } else {
        query.Number(2, dwIndex);
    }
    int rc = query.Step();
    if (rc == SQLITE_DONE) {
        last.parent = -1;
        return Missing(key.id, ERROR_NO_MORE_ITEMS);
    }
    if (rc != SQLITE_ROW) return dvreg::StatusOf(rc);
    last = Enumerated{dvreg::DatabaseSerial(), key.id, dwIndex, std::string(query.Column(1)), stamp};
    std::string_view name = query.Column(0);
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.data(), name.size());
    lpName[name.size()] = '\0';
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
    // No write times are kept.
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
    return ERROR_SUCCESS;
}

// Values in the order of their names compared without case, as subkeys are.
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    auto lock = dvreg::LockRegistry();
    Key key;
    LSTATUS status = ResolveFor(hKey, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    Query query(dvreg::kValueAt);
    int rc = query.Number(1, key.id).Number(2, dwIndex).Step();
    if (rc == SQLITE_DONE) return Missing(key.id, ERROR_NO_MORE_ITEMS);
    if (rc != SQLITE_ROW) return dvreg::StatusOf(rc);
    std::string_view name = query.Column(0);
    if (name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.data(), name.size());
    lpValueName[name.size()] = '\0';
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType) *lpType = static_cast<DWORD>(sqlite3_column_int64(query.s, 1));
    std::string_view data = query.Column(2);
    DWORD size = static_cast<DWORD>(data.size());
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    std::vector<std::string_view> parts;
    LSTATUS status = SplitPath(lpSubKey, &parts);
    if (status != ERROR_SUCCESS) return status;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    auto lock = dvreg::LockRegistry();
    Key key;
    status = Resolve(hKey, &key);
    if (status != ERROR_SUCCESS) return status;
    if (hKey != HKEY_LOCAL_MACHINE && hKey->transaction) return ERROR_NOT_SUPPORTED;
    int64_t id = 0;
    std::string path = PathBelow(key, parts);
    status = FindKey(path, &id);
    if (status == ERROR_FILE_NOT_FOUND) return Missing(key.id, ERROR_FILE_NOT_FOUND);
    if (status != ERROR_SUCCESS) return status;
    if (int err = dvfaults::Check(dvfaults::kRegistryDelete)) return FromErrno(err);
    gKnown.Forget(path, id);
    NoteChange(path);
    return InTransaction([&]() -> LSTATUS {
        Query subkeys(dvreg::kHasSubkeys);
        int rc = subkeys.Number(1, id).Step();
        if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
        if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
        Query values(dvreg::kRemoveKeyValues);
        rc = values.Number(1, id).Step();
        if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
        Query remove(dvreg::kRemoveKey);
        rc = remove.Number(1, id).Step();
        if (rc != SQLITE_DONE) return dvreg::StatusOf(rc);
        // Another process may have removed it since the look-up.
        return remove.Changes() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    auto lock = dvreg::LockRegistry();
    if (!hKey || !gHandles.erase(hKey)) return ERROR_INVALID_HANDLE;
    delete hKey;
    return ERROR_SUCCESS;
}

// Makes every change this process made before it durable, whatever the key:
// one sync of the log covers them all. The sync runs without the registry lock.
LSTATUS RegFlushKey(HKEY hKey)
{
    // Outside the registry lock: a flush the fault switch holds must not hold up other calls.
    if (int err = dvfaults::Check(dvfaults::kRegistryFlush)) return FromErrno(err);
    dvreg::LogSync sync;
    {
        auto lock = dvreg::LockRegistry();
        Key key;
        LSTATUS status = Resolve(hKey, &key);
        if (status == ERROR_SUCCESS) status = Live(key);
        if (status != ERROR_SUCCESS) return status;
        status = dvreg::PrepareFlush(&sync);
        if (status != ERROR_SUCCESS) return status;
    }
    return dvreg::FinishFlush(&sync);
}

dvreg::SubtreeStamp dvreg::StampOfSubtree(const char* path)
{
    std::vector<std::string_view> parts;
    if (SplitPath(path, &parts) != ERROR_SUCCESS) return SubtreeStamp{};
    std::string folded;
    for (std::string_view part : parts) folded = ChildPath(folded, part);
    // The epoch first: a change counted after it is seen, at worst, as one more.
    uint64_t epoch = KnowledgeEpoch();
    size_t count = gWatchedCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        if (gWatched[i].path == folded) return SubtreeStamp{epoch, gWatched[i].changes.load(std::memory_order_acquire)};
    }
    // Watched from now on: what was read before has no known stamp.
    auto lock = LockRegistry();
    count = gWatchedCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        if (gWatched[i].path == folded) return SubtreeStamp{};
    }
    if (count < kMaxWatched) {
        gWatched[count].path = folded;
        gWatchedCount.store(count + 1, std::memory_order_release);
    }
    return SubtreeStamp{};
}
