#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

const char kBase[] = "SYSTEM\\CurrentControlSet\\Services\\Dorvane";

HKEY Create(const std::string& path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, &key, disposition),
              ERROR_SUCCESS)
        << path;
    return key;
}

LSTATUS Open(const std::string& path, REGSAM access, HKEY* key)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key);
}

std::vector<BYTE> Query(HKEY key, const char* name, DWORD* type, LSTATUS* status)
{
    DWORD size = 0;
    *status = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    std::vector<BYTE> data(size);
    if (*status == ERROR_SUCCESS && size) *status = RegQueryValueExA(key, name, nullptr, type, data.data(), &size);
    return data;
}

std::vector<std::string> Enumerate(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD len = sizeof name;
        LSTATUS status = RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(status, ERROR_SUCCESS);
        if (status != ERROR_SUCCESS) break;
        names.emplace_back(name, len);
    }
    return names;
}

TEST(Registry, CreatesEveryMissingKeyAndMatchesNamesWithoutRegardToCase)
{
    dvtest::StateDir state;
    DWORD disposition = 0;
    HKEY key = Create(std::string(kBase) + "\\Persistent States", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = Create("system\\currentcontrolset\\SERVICES\\dorvane\\PERSISTENT STATES", KEY_READ, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // The name keeps the case it was created with.
    HKEY services;
    ASSERT_EQ(Open(kBase, KEY_READ, &services), ERROR_SUCCESS);
    EXPECT_EQ(Enumerate(services), std::vector<std::string>{"Persistent States"});
    RegCloseKey(services);
    // The database is its owner's alone.
    for (const char* file : {"registry.db", "registry.db-wal"}) {
        struct stat st;
        ASSERT_EQ(stat(state.file(file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }

    HKEY missing = nullptr;
    EXPECT_EQ(Open(std::string(kBase) + "\\Nowhere", KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(Open("SYSTEM\\\\CurrentControlSet", KEY_READ, &missing), ERROR_BAD_PATHNAME);
}

TEST(Registry, EnumeratesSubkeysSortedWithoutRegardToCase)
{
    dvtest::StateDir state;
    for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2", "{0a}", ".dot", "per%cent/slash"}) {
        RegCloseKey(Create(std::string("Enum\\") + name));
    }
    HKEY key;
    ASSERT_EQ(Open("Enum", KEY_ENUMERATE_SUB_KEYS, &key), ERROR_SUCCESS);
    EXPECT_EQ(Enumerate(key), (std::vector<std::string>{".dot", "Alpha", "ALPHA2", "beta", "gamma",
                                                        "per%cent/slash", "{0a}"}));

    char small[5];
    DWORD len = sizeof small;
    EXPECT_EQ(RegEnumKeyExA(key, 1, small, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    len = 6;
    char exact[6];
    EXPECT_EQ(RegEnumKeyExA(key, 1, exact, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(len, 5u);
    EXPECT_STREQ(exact, "Alpha");
    RegCloseKey(key);

    ASSERT_EQ(Open("Enum", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    len = sizeof exact;
    EXPECT_EQ(RegEnumKeyExA(key, 0, exact, &len, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST(Registry, EnumerationFollowsSubkeysMadeDuringAWalk)
{
    dvtest::StateDir state;
    for (const char* name : {"b", "c", "d"}) RegCloseKey(Create(std::string("Walk\\") + name));
    HKEY key;
    ASSERT_EQ(Open("Walk", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    char name[16];
    DWORD len = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "b");
    RegCloseKey(Create("Walk\\a"));
    len = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key, 1, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "b");
    ASSERT_EQ(RegDeleteKeyA(key, "d"), ERROR_SUCCESS);
    len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 3, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(Enumerate(key), (std::vector<std::string>{"a", "b", "c"}));
    RegCloseKey(key);
}

TEST(Registry, StoresEveryValueTypeByteForByte)
{
    dvtest::StateDir state;
    HKEY key = Create("Values");
    const std::vector<BYTE> text = {'t', '"', '\\', 0xE9, '\n', 0};
    const std::vector<BYTE> expand = {'%', 'S', 'y', 's', '%', 0};
    const std::vector<BYTE> multi = {'a', 0, 'b', 'c', 0, 0};
    const std::vector<BYTE> binary = {0, 1, 0xFF, 0x7F, 0x80};
    const std::vector<BYTE> dword = {4, 0, 0, 0x80};
    const std::vector<BYTE> unterminated = {'a', 'b'};
    const std::vector<BYTE> shortDword = {1, 2, 3};
    struct Case {
        const char* name;
        DWORD type;
        const std::vector<BYTE>& data;
    } cases[] = {{"Text", REG_SZ, text},          {"Expand", REG_EXPAND_SZ, expand}, {"Multi", REG_MULTI_SZ, multi},
                 {"Binary", REG_BINARY, binary},  {"Dword", REG_DWORD, dword},       {"Raw", REG_SZ, unterminated},
                 {"Odd", REG_DWORD, shortDword},  {"", REG_SZ, text},                {"Na\"me\\\x01", REG_BINARY, binary}};
    for (const Case& c : cases) {
        ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type, c.data.data(), (DWORD)c.data.size()), ERROR_SUCCESS);
    }
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(Open("values", KEY_READ, &key), ERROR_SUCCESS);
    for (const Case& c : cases) {
        DWORD type = 0;
        LSTATUS status;
        EXPECT_EQ(Query(key, c.name, &type, &status), c.data) << c.name;
        EXPECT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
    }
    DWORD type = 0;
    LSTATUS status;
    EXPECT_TRUE(Query(key, "EMPTY", &type, &status).empty());
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);

    BYTE small[3];
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Binary", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, small, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

// A database that is damaged, empty or not the registry's fails every call and
// is left as it is: nothing starts over with an empty registry.
TEST(Registry, ADatabaseThatCannotBeUsedFailsEveryCallAndIsLeftAlone)
{
    const std::string garbage(8192, 'x');
    for (const std::string& content : {std::string(), garbage, std::string("other")}) {
        dvtest::StateDir state;
        std::string path = state.file("registry.db");
        if (content == "other") {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text)", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        } else {
            std::ofstream(path, std::ios::binary) << content;
        }
        struct stat before;
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Anything", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(Open("Anything", KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
        DWORD one = 1;
        EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_REGISTRY_CORRUPT);
        struct stat after;
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_size, before.st_size);
    }
}

TEST(Registry, DeletesOnlyKeysWithoutSubkeys)
{
    dvtest::StateDir state;
    RegCloseKey(Create("Parent\\Child\\Grandchild"));
    HKEY parent;
    ASSERT_EQ(Open("Parent", KEY_WRITE | KEY_ENUMERATE_SUB_KEYS, &parent), ERROR_SUCCESS);
    HKEY grandchild;
    ASSERT_EQ(Open("Parent\\Child\\Grandchild", KEY_ALL_ACCESS, &grandchild), ERROR_SUCCESS);
    BYTE b = 1;
    RegSetValueExA(grandchild, "V", 0, REG_BINARY, &b, 1);

    EXPECT_EQ(RegDeleteKeyA(parent, "child"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child\\GRANDCHILD"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child\\Grandchild"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(grandchild, "V", 0, REG_BINARY, &b, 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_SUCCESS);
    EXPECT_TRUE(Enumerate(parent).empty());
    EXPECT_EQ(RegCloseKey(grandchild), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

DWORD ReadNumber(const char* path, LSTATUS* status)
{
    HKEY key;
    DWORD number = 0;
    *status = Open(path, KEY_QUERY_VALUE, &key);
    if (*status != ERROR_SUCCESS) return 0;
    DWORD size = sizeof number;
    *status = RegQueryValueExA(key, "N", nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size);
    RegCloseKey(key);
    return number;
}

// Values set in a transaction are in the registry once it commits, all of
// them, and never when it is rolled back or closed without a commit.
TEST(Registry, ATransactionsValuesAreAppliedByItsCommitAndDroppedOtherwise)
{
    dvtest::StateDir state;
    HANDLE transaction = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    HKEY parent;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, "Tx", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &parent, &disposition, transaction, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    // A key opened below belongs to the transaction too.
    HKEY child = Create("Tx\\Child");
    RegCloseKey(child);
    ASSERT_EQ(RegCreateKeyExA(parent, "Child", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    HKEY gone = Create("Tx\\Gone");
    RegCloseKey(gone);
    ASSERT_EQ(RegCreateKeyExA(parent, "Gone", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &gone,
                              nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    for (HKEY key : {parent, child, gone}) {
        ASSERT_EQ(RegSetValueExA(key, "N", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one), ERROR_SUCCESS);
    }
    EXPECT_EQ(RegDeleteValueA(parent, "N"), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Gone"), ERROR_NOT_SUPPORTED);
    LSTATUS status;
    ReadNumber("Tx\\Child", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    // A key removed before the commit keeps no value of it.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Tx\\Gone"), ERROR_SUCCESS);

    ASSERT_TRUE(CommitTransaction(transaction));
    EXPECT_EQ(ReadNumber("Tx", &status), 1u);
    EXPECT_EQ(ReadNumber("Tx\\Child", &status), 1u);
    ReadNumber("Tx\\Gone", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CommitTransaction(transaction));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TRANSACTION_NOT_ACTIVE);
    EXPECT_EQ(RegSetValueExA(child, "N", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one),
              ERROR_TRANSACTION_NOT_ACTIVE);
    for (HKEY key : {parent, child, gone}) RegCloseKey(key);
    EXPECT_TRUE(CloseHandle(transaction));

    DWORD two = 2;
    for (bool rollBack : {true, false}) {
        transaction = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
        ASSERT_EQ(RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, "Tx", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_SET_VALUE, nullptr, &parent, nullptr, transaction, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(parent, "N", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), sizeof two), ERROR_SUCCESS);
        if (rollBack) {
            EXPECT_TRUE(RollbackTransaction(transaction));
        }
        EXPECT_TRUE(CloseHandle(transaction));
        EXPECT_EQ(RegSetValueExA(parent, "N", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), sizeof two),
                  ERROR_TRANSACTION_NOT_ACTIVE);
        RegCloseKey(parent);
        EXPECT_EQ(ReadNumber("Tx", &status), 1u) << rollBack;
    }
}

TEST(Registry, HonoursTheRightsAKeyWasOpenedWith)
{
    dvtest::StateDir state;
    RegCloseKey(Create("Rights"));
    DWORD v = 7;
    for (REGSAM readOnly : {(REGSAM)KEY_QUERY_VALUE, (REGSAM)KEY_READ}) {
        HKEY key;
        ASSERT_EQ(Open("Rights", readOnly, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, (const BYTE*)&v, 4), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteValueA(key, "V"), ERROR_ACCESS_DENIED);
        HKEY sub;
        EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                  ERROR_ACCESS_DENIED);
        RegCloseKey(key);
    }
    HKEY writer;
    ASSERT_EQ(Open("Rights", KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(writer, "V", 0, REG_DWORD, (const BYTE*)&v, 4), ERROR_SUCCESS);
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(writer, "V", nullptr, nullptr, (BYTE*)&v, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(writer, "v"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(writer, "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegFlushKey(writer), ERROR_SUCCESS);
    RegCloseKey(writer);
}

}  // namespace
