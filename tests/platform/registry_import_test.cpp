// The one-time import of a state folder written by the earlier folder store.
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

void WriteFile(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

std::vector<BYTE> Query(const char* path, const char* name, DWORD* type, LSTATUS* status)
{
    HKEY key;
    *status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (*status != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(256);
    DWORD size = static_cast<DWORD>(data.size());
    *status = RegQueryValueExA(key, name, nullptr, type, data.data(), &size);
    data.resize(*status == ERROR_SUCCESS ? size : 0);
    RegCloseKey(key);
    return data;
}

TEST(RegistryImport, AFolderTreeIsImportedWholeWithEverySpellingAndSetAside)
{
    dvtest::StateDir state;
    const std::string tree = state.file("registry");
    const std::string parameters = tree + "/SYSTEM/CurrentControlSet/Services/Dorvane/Parameters";
    // As an operator left it: comments, wrapped hex, Windows line ends; no extended attributes.
    WriteFile(parameters + "/.values.reg", std::string(kHeader) +
                                               "; edited\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\...\\Parameters]\r\n"
                                               "\"QSServerPortForReceive\"=dword:000011cd\r\n"
                                               "\"QSServerID\"=\"5f0c\\\"id\"\r\n"
                                               "\"Blob\"=hex:01,02,\\\r\n  ff\r\n@=hex(7):61,00,00\r\n");
    WriteFile(parameters + "/.values.reg.spare", "not read");
    WriteFile(tree + "/%2Edot/Mixed Case/.values.reg", "");
    WriteFile(tree + "/SYSTEM/.removed.12.0/.values.reg", "not a key");
    WriteFile(tree + "/bad%zz/.values.reg", "not a key either");

    testing::internal::CaptureStderr();
    DWORD type = 0;
    LSTATUS status;
    const char* key = "system\\currentcontrolset\\services\\dorvane\\PARAMETERS";
    EXPECT_EQ(Query(key, "QSServerPortForReceive", &type, &status), (std::vector<BYTE>{0xcd, 0x11, 0, 0}));
    EXPECT_EQ(type, REG_DWORD);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("imported 7 keys"), std::string::npos) << said;
    EXPECT_NE(said.find(state.file("registry.imported")), std::string::npos) << said;

    EXPECT_EQ(Query(key, "QSServerID", &type, &status), (std::vector<BYTE>{'5', 'f', '0', 'c', '"', 'i', 'd', 0}));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(Query(key, "blob", &type, &status), (std::vector<BYTE>{1, 2, 0xff}));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(Query(key, "", &type, &status), (std::vector<BYTE>{'a', 0, 0}));
    EXPECT_EQ(type, REG_MULTI_SZ);
    // An empty value file is a key without values.
    EXPECT_TRUE(Query(".DOT\\mixed case", "Anything", &type, &status).empty());
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);

    std::vector<std::string> names;
    HKEY root = HKEY_LOCAL_MACHINE;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{".dot", "SYSTEM"}));
    HKEY sub;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ".dot\\Mixed Case", 0, KEY_READ, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);

    // Set aside whole, never read again.
    EXPECT_FALSE(std::filesystem::exists(tree));
    EXPECT_TRUE(std::filesystem::exists(state.file("registry.imported/SYSTEM/.removed.12.0/.values.reg")));
}

TEST(RegistryImport, ATreeWithAFileThatCannotBeReadImportsNothingAndSaysWhich)
{
    dvtest::StateDir state;
    const std::string tree = state.file("registry");
    WriteFile(tree + "/SYSTEM/Parameters/.values.reg", std::string(kHeader) + "\"Port\"=dword:00000001\r\n");
    const std::string broken = tree + "/SYSTEM/Persistent States/{00}/.values.reg";
    WriteFile(broken, std::string(kHeader) + "\"Quorum Holder\"=dword:1\r\n");

    testing::internal::CaptureStderr();
    DWORD type = 0;
    LSTATUS status;
    Query("SYSTEM\\Parameters", "Port", &type, &status);
    EXPECT_EQ(status, ERROR_REGISTRY_CORRUPT);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(broken), std::string::npos) << said;
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_DWORD, (const BYTE*)&one, 4), ERROR_REGISTRY_CORRUPT);

    EXPECT_TRUE(std::filesystem::exists(broken));
    for (const auto& entry : std::filesystem::directory_iterator(state.path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("registry.db", 0), std::string::npos) << entry.path();
    }
}

}  // namespace
