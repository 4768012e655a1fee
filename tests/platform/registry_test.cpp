#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <chrono>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <vector>

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

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
    struct stat st;
    EXPECT_EQ(stat(state.file("registry/SYSTEM/CurrentControlSet/Services/Dorvane/Persistent States").c_str(), &st),
              0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

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
    // Long enough for the folder's times to prove that a kept listing is current.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
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

// A key's first values are written without a data sync and marked so; its
// flush syncs them and drops the mark; later writes over flushed values are
// synced before they replace them.
TEST(Registry, OnlyValuesNeverFlushedAreReplacedUnsynced)
{
    dvtest::StateDir state;
    HKEY key = Create("Grant");
    std::string file = state.file("registry/Grant/.values.reg");
    auto marked = [&] { return getxattr(file.c_str(), "user.dorvane.unflushed", nullptr, 0) >= 0; };
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "Holder", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    if (!marked()) GTEST_SKIP() << "the state folder's file system keeps no user attributes";
    ASSERT_EQ(RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    EXPECT_TRUE(marked());
    ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    EXPECT_FALSE(marked());
    DWORD two = 2;
    ASSERT_EQ(RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&two, 4), ERROR_SUCCESS);
    EXPECT_FALSE(marked());
    DWORD type = 0;
    LSTATUS status;
    EXPECT_EQ(Query(key, "Holder", &type, &status), (std::vector<BYTE>{1, 0, 0, 0}));
    EXPECT_EQ(Query(key, "Port", &type, &status), (std::vector<BYTE>{2, 0, 0, 0}));
    // No temporary file stays behind: the previous version is kept to be rewritten next.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(state.file("registry/Grant")))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{".values.reg", ".values.reg.spare"}));
    RegCloseKey(key);

    // An unsynced file that came back empty after a power loss held only
    // unflushed values: the key reads as it was before them.
    key = Create("Lost");
    ASSERT_EQ(RegSetValueExA(key, "Holder", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    ASSERT_EQ(truncate(state.file("registry/Lost/.values.reg").c_str(), 0), 0);
    EXPECT_EQ(Query(key, "Holder", &type, &status), std::vector<BYTE>{});
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&two, 4), ERROR_SUCCESS);
    EXPECT_EQ(Query(key, "Port", &type, &status), (std::vector<BYTE>{2, 0, 0, 0}));
    RegCloseKey(key);
}

// The spare a change is written into may be the longer version before last.
TEST(Registry, AShorterVersionLeavesNothingOfTheLongerOneItOverwrites)
{
    dvtest::StateDir state;
    HKEY key = Create("Shrinks");
    const std::vector<BYTE> blob(1000, 0xAB);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), (DWORD)blob.size()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Kept", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "Blob"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "Kept"), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Kept", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(state.file("registry/Shrinks/.values.reg")),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Shrinks]\n\"Kept\"=dword:00000001\n");
    DWORD type = 0;
    LSTATUS status;
    EXPECT_EQ(Query(key, "Blob", &type, &status), std::vector<BYTE>{});
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

// A removal renames the key out of every look-up before emptying it; a process
// killed on the way leaves such a folder, which the parent's removal clears.
TEST(Registry, ARemovalKilledOnTheWayLeavesNoKeyAndItsRemainsGoWithTheParent)
{
    dvtest::StateDir state;
    HKEY key = Create("Parent\\Child");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Parent\\Child"), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_empty(state.file("registry/Parent")));

    std::string remains = state.file("registry/Parent/.removed.1.0");
    ASSERT_EQ(mkdir(remains.c_str(), 0700), 0);
    std::ofstream(remains + "/.values.reg") << "Windows Registry Editor Version 5.00\n";
    HKEY parent = Create("Parent");
    EXPECT_EQ(Enumerate(parent), std::vector<std::string>{});
    RegCloseKey(parent);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Parent"), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(state.file("registry/Parent")));
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

TEST(Registry, KeepsValuesInAReadableExportStyleFile)
{
    dvtest::StateDir state;
    HKEY key = Create("SYSTEM\\Params");
    DWORD port = 4557;
    RegSetValueExA(key, "QSServerPortForReceive", 0, REG_DWORD, (const BYTE*)&port, 4);
    RegSetValueExA(key, "QSServerID", 0, REG_SZ, (const BYTE*)"abc", 4);
    RegCloseKey(key);

    std::string file = state.file("registry/SYSTEM/Params/.values.reg");
    EXPECT_EQ(ReadFile(file), "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_LOCAL_MACHINE\\SYSTEM\\Params]\n"
                              "\"QSServerPortForReceive\"=dword:000011cd\n"
                              "\"QSServerID\"=\"abc\"\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // An operator's edit, with comments and wrapped hex, is read back.
    std::ofstream(file) << "Windows Registry Editor Version 5.00\r\n\r\n; edited\r\n"
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\Params]\r\n\"Debug\"=dword:0000003F\r\n"
                           "\"Blob\"=hex:01,02,\\\r\n  03\r\n";
    ASSERT_EQ(Open("SYSTEM\\Params", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD type;
    LSTATUS status;
    EXPECT_EQ(Query(key, "debug", &type, &status), (std::vector<BYTE>{0x3F, 0, 0, 0}));
    EXPECT_EQ(Query(key, "Blob", &type, &status), (std::vector<BYTE>{1, 2, 3}));
    RegCloseKey(key);
}

TEST(Registry, AKeyWhoseFileCannotBeParsedIsCorruptNotEmpty)
{
    dvtest::StateDir state;
    HKEY key = Create("Broken");
    DWORD one = 1;
    RegSetValueExA(key, "Kept", 0, REG_DWORD, (const BYTE*)&one, 4);
    // Flushed, so that even an empty file is a damaged one rather than lost unflushed writes.
    RegFlushKey(key);
    std::string file = state.file("registry/Broken/.values.reg");
    for (const char* bad : {"", "Windows Registry Editor Version 5.00\n\"A\"=dword:1\n",
                            "Windows Registry Editor Version 5.00\n\"A\"=\"unterminated\n",
                            "Windows Registry Editor Version 5.00\n\"A\"=hex:0g\n",
                            "Windows Registry Editor Version 5.00\n\"A\"=\"\\q\"\n",
                            "Windows Registry Editor Version 5.00\n\"A\"=hex:01\n\"a\"=hex:02\n",
                            "Windows Registry Editor Version 5.00\n\"A\"=hex:01,\\\n"}) {
        std::ofstream(file, std::ios::trunc) << bad;
        DWORD value = 0;
        DWORD size = 4;
        EXPECT_EQ(RegQueryValueExA(key, "Kept", nullptr, nullptr, (BYTE*)&value, &size), ERROR_REGISTRY_CORRUPT)
            << bad;
        EXPECT_EQ(RegSetValueExA(key, "New", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(ReadFile(file), bad);
    }
    RegCloseKey(key);
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
