// dvreg against a real state folder: what it prints, what it stores, that an
// export imports back byte for byte, and that what it refuses changes nothing.
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/run_tool.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

const std::string kService = "SYSTEM\\CurrentControlSet\\Services\\Dorvane";
const std::string kParameters = kService + "\\Parameters";
const std::string kHolder = kService + "\\Persistent States\\{000102030405060708090a0b0c0d0e0f}";
const char kDone[] = "The operation completed successfully.";
const char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.";

struct Stored {
    DWORD type;
    std::string data;
    bool operator==(const Stored&) const = default;
};
using KeyValues = std::map<std::string, Stored>;

// Every value of the key as the registry holds it; empty when the key is missing.
KeyValues ValuesOf(const std::string& subKey)
{
    KeyValues values;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
    for (DWORD i = 0;; ++i) {
        char name[256];
        BYTE data[1024];
        DWORD nameLength = sizeof name, size = sizeof data, type;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        values[name] = Stored{type, std::string(reinterpret_cast<char*>(data), size)};
    }
    RegCloseKey(key);
    return values;
}

bool KeyExists(const std::string& subKey)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void Set(const std::string& subKey, const std::string& name, DWORD type, const std::string& data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class DvregTest : public ::testing::Test {
protected:
    // Runs dvreg with the text as its standard input and expects the exit status.
    std::string Run(const std::string& arguments, int expected, const std::string& input = "")
    {
        std::ofstream(state_.file("input")) << input;
        int status;
        std::string output = dvtest::RunTool("dvreg " + arguments + " <" + state_.file("input"), &status);
        EXPECT_EQ(status, expected) << "dvreg " << arguments << "\n" << output;
        return output;
    }

    // The key as an argument of the shell: HKLM\<subKey>, quoted.
    static std::string Key(const std::string& subKey) { return "'HKLM\\" + subKey + "'"; }

    dvtest::StateDir state_;
};

TEST_F(DvregTest, AddQueryAndDeleteValuesOfEveryType)
{
    const std::string key = Key(kParameters);
    for (const std::string add : {"/v Port /t REG_DWORD /d 4557", "/v Big /t reg_qword /d 0x100000002",
                                  "/v Name /d 'a \"b\" \\c'", "/v List /t REG_MULTI_SZ /d 'x\\0yz'",
                                  "/v Path /t REG_EXPAND_SZ /d %TEMP% /f", "/v Blob /t REG_BINARY /d 01fF",
                                  "/v Csv /t REG_MULTI_SZ /s , /d p,q", "/v Nothing /t REG_NONE", "/ve /d dflt"}) {
        EXPECT_NE(Run("add " + key + " " + add, 0).find(kDone), std::string::npos) << add;
    }
    KeyValues values = ValuesOf(kParameters);
    EXPECT_EQ(values["Port"], (Stored{REG_DWORD, std::string("\xcd\x11\0\0", 4)}));
    EXPECT_EQ(values["Big"], (Stored{REG_QWORD, std::string("\x02\0\0\0\x01\0\0\0", 8)}));
    EXPECT_EQ(values["Name"], (Stored{REG_SZ, std::string("a \"b\" \\c\0", 9)}));
    EXPECT_EQ(values["List"], (Stored{REG_MULTI_SZ, std::string("x\0yz\0\0", 6)}));
    EXPECT_EQ(values["Csv"], (Stored{REG_MULTI_SZ, std::string("p\0q\0\0", 5)}));
    EXPECT_EQ(values["Blob"], (Stored{REG_BINARY, "\x01\xff"}));
    EXPECT_EQ(values["Nothing"], (Stored{REG_NONE, ""}));

    // --state-dir wins over the environment.
    dvtest::TempDir elsewhere;
    dvtest::ScopedEnv env("DORVANE_STATE_DIR", elsewhere.path().c_str());
    std::string query = Run("query " + key + " --state-dir " + state_.path(), 0);
    for (const char* line : {"\nHKEY_LOCAL_MACHINE\\" "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters\n",
                             "    Port    REG_DWORD    0x11cd\n", "    Big    REG_QWORD    0x100000002\n",
                             "    List    REG_MULTI_SZ    x\\0yz\n", "    Blob    REG_BINARY    01FF\n",
                             "    (Default)    REG_SZ    dflt\n", "    Path    REG_EXPAND_SZ    %TEMP%\n"}) {
        EXPECT_NE(query.find(line), std::string::npos) << line << "\n" << query;
    }
    EXPECT_NE(Run("--state-dir " + state_.path() + " query " + key + " /v PORT", 0).find("    Port    REG_DWORD"),
              std::string::npos);
    EXPECT_NE(Run("query 'HKEY_LOCAL_MACHINE\\" + kService + "' --state-dir " + state_.path(), 0)
                  .find("\nHKEY_LOCAL_MACHINE\\" + kParameters + "\n"),
              std::string::npos);
    unsetenv("DORVANE_STATE_DIR");
    setenv("DORVANE_STATE_DIR", state_.path().c_str(), 1);

    Run("delete " + key + " /v Blob /f", 0);
    EXPECT_EQ(ValuesOf(kParameters).count("Blob"), 0u);
    EXPECT_NE(Run("query " + key + " /v Blob", 1).find(kNotFound), std::string::npos);
    Run("delete " + key + " /va /f", 0);
    EXPECT_TRUE(ValuesOf(kParameters).empty());
    EXPECT_TRUE(KeyExists(kParameters));
    Set(kParameters + "\\Sub\\Deeper", "x", REG_SZ, std::string("1", 2));
    Run("delete " + Key(kParameters) + " /f", 0);
    EXPECT_FALSE(KeyExists(kParameters));
    EXPECT_NE(Run("delete " + key + " /f", 1).find(kNotFound), std::string::npos);
}

TEST_F(DvregTest, AChangeWithoutForceAsksAndOnlyAYesMakesIt)
{
    Set(kParameters, "Debug", REG_DWORD, std::string("\0\0\0\0", 4));
    const std::string add = "add " + Key(kParameters) + " /v Debug /t REG_DWORD /d 1";
    for (const std::string refusal : {"", "no\n", "maybe\n"}) {
        std::string output = Run(add, 1, refusal);
        EXPECT_NE(output.find("Value Debug exists, overwrite(Yes/No)?"), std::string::npos) << output;
        EXPECT_NE(output.find("cancelled"), std::string::npos) << output;
        EXPECT_EQ(ValuesOf(kParameters)["Debug"].data, std::string("\0\0\0\0", 4));
    }
    Run(add, 0, "Yes\n");
    EXPECT_EQ(ValuesOf(kParameters)["Debug"].data, std::string("\1\0\0\0", 4));
    Run("delete " + Key(kParameters) + " /v Debug", 1);
    Run("delete " + Key(kParameters), 1, "n\n");
    EXPECT_EQ(ValuesOf(kParameters).size(), 1u);
}

TEST_F(DvregTest, AnExportImportsBackEveryValueByteForByte)
{
    std::string pattern;
    for (int i = 0; i < 300; ++i) pattern.push_back(static_cast<char>(i));
    const KeyValues parameters = {
        {"Plain", {REG_SZ, std::string("5f0c-a1\0", 8)}},
        {"Quoted \"name\" \\ here", {REG_SZ, std::string("C:\\dir \"x\"\0", 11)}},
        {"No terminator", {REG_SZ, "abc"}},
        {"Two lines", {REG_SZ, std::string("a\r\nb\0", 5)}},
        {"Not UTF-8", {REG_SZ, std::string("\xe9t\xc3\xa9\xed\xb0\x80\0", 8)}},
        {"Expand", {REG_EXPAND_SZ, std::string("%X%\xf0\x9f\x98\x80\0", 8)}},
        {"Multi", {REG_MULTI_SZ, std::string("a\0bc\0\0", 6)}},
        {"Dword", {REG_DWORD, "\x01\x02\x03\x04"}},
        {"Short dword", {REG_DWORD, "\x01\x02"}},
        {"Qword", {REG_QWORD, std::string("\x01\0\0\0\0\0\0\x80", 8)}},
        {"Long", {REG_BINARY, pattern}},
        {"Empty", {REG_BINARY, ""}},
        {"None", {REG_NONE, std::string("\0\1", 2)}},
        {"Own type", {0x12345, "xyz"}},
        {"", {REG_SZ, std::string("default\0", 8)}},
    };
    for (const auto& [name, value] : parameters) Set(kParameters, name, value.type, value.data);
    Set(kHolder, "Quorum Holder", REG_DWORD, std::string("\1\0\0\0", 4));
    const std::string file = state_.file("backup.reg");
    Run("export 'HKLM\\system\\currentcontrolset\\services\\DORVANE' " + file, 0);

    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char header[] = "\xff\xfeW\0i\0n\0d\0o\0w\0s\0 \0R\0e\0g\0";
    EXPECT_EQ(text.substr(0, sizeof header - 1), std::string(header, sizeof header - 1));

    Run("delete " + Key(kService) + " /f", 0);
    EXPECT_FALSE(KeyExists(kService));
    Run("import " + file, 0);
    EXPECT_EQ(ValuesOf(kParameters), parameters);
    EXPECT_EQ(ValuesOf(kHolder), (KeyValues{{"Quorum Holder", {REG_DWORD, std::string("\1\0\0\0", 4)}}}));
    EXPECT_NE(Run("query " + Key("SYSTEM\\CurrentControlSet\\Services"), 0).find("\\Services\\Dorvane\n"),
              std::string::npos);
    // An existing file is replaced only when asked.
    Run("export " + Key(kService) + " " + file, 1);
    Run("export " + Key(kService) + " " + file + " /y", 0);
}

TEST_F(DvregTest, ImportReadsHandWrittenFilesWithCommentsContinuationsAndRemovals)
{
    Set(kParameters, "Gone", REG_SZ, std::string("x", 2));
    Set(kHolder, "Quorum Holder", REG_DWORD, std::string("\0\0\0\0", 4));
    std::ofstream(state_.file("edit.reg")) << "\xef\xbb\xbfWindows Registry Editor Version 5.00\n\n"
                                           << "; the port and a list\n[HKEY_LOCAL_MACHINE\\" << kParameters << "]\n"
                                           << "\"Port\" = dword:1389\n\"Gone\"=-\n@=\"caf\xc3\xa9\"\n"
                                           << "\"List\"=hex(7):61,00,00,00,\\\n   62,00,00,00,00,00\n"
                                           << "[-HKEY_LOCAL_MACHINE\\" << kService << "\\Persistent States]\n";
    std::ofstream(state_.file("old.reg")) << "REGEDIT4\r\n[HKLM\\" << kParameters
                                          << "]\r\n\"Path\"=hex(2):25,41,25,00\r\n";
    Run("import " + state_.file("edit.reg"), 0);
    Run("import " + state_.file("old.reg"), 0);
    EXPECT_EQ(ValuesOf(kParameters), (KeyValues{{"Port", {REG_DWORD, std::string("\x89\x13\0\0", 4)}},
                                                {"", {REG_SZ, std::string("caf\xc3\xa9\0", 6)}},
                                                {"List", {REG_MULTI_SZ, std::string("a\0b\0\0", 5)}},
                                                {"Path", {REG_EXPAND_SZ, std::string("%A%\0", 4)}}}));
    EXPECT_FALSE(KeyExists(kService + "\\Persistent States"));
}

TEST_F(DvregTest, WhatIsRefusedSaysWhyAndChangesNothing)
{
    Set(kParameters, "Debug", REG_DWORD, std::string("\7\0\0\0", 4));
    const KeyValues before = ValuesOf(kParameters);
    const std::string key = Key(kParameters);
    const std::string fresh = Key(kParameters + "\\Fresh");
    std::ofstream(state_.file("bad.reg")) << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\"
                                          << kParameters << "\\Fresh]\r\n\"a\"=dword:1\r\n\"b\"=hex:0g\r\n";
    std::ofstream(state_.file("other.reg")) << "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n";
    std::ofstream(state_.file("plain.txt")) << "[HKEY_LOCAL_MACHINE\\SYSTEM]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"query 'HKCU\\Software'", "Only HKEY_LOCAL_MACHINE (HKLM) exists"},
        {"add 'HKLM\\SYSTEM\\\\Fresh'", "Invalid key name"},
        {"add 'SYSTEM\\Fresh'", "Invalid key name"},
        {"add " + fresh + " /v Debug /t REG_WORD /d 1", "Invalid type REG_WORD"},
        {"add " + fresh + " /v Debug /t REG_DWORD /d 4294967296", "Invalid data for REG_DWORD"},
        {"add " + fresh + " /v Debug /t REG_DWORD /d -1", "Invalid data for REG_DWORD"},
        {"add " + fresh + " /v Debug /t REG_QWORD /d 12ab", "Invalid data for REG_QWORD"},
        {"add " + fresh + " /v Debug /t REG_BINARY /d 0", "Invalid data for REG_BINARY"},
        {"add " + fresh + " /v Debug /t REG_MULTI_SZ /d 'a\\0\\0b'", "empty strings"},
        {"add " + fresh + " /v Debug /d x /s ,", "/s goes with /t REG_MULTI_SZ"},
        {"add " + key + " /d 1", "/t, /s and /d go with /v or /ve"},
        {"add " + key + " /v Debug /v Other /f", "/v is given twice"},
        {"delete " + key + " /v Debug /va /f", "at most one of /v, /ve and /va"},
        {"delete " + key + " /x", "Invalid syntax"},
        {"frobnicate " + key, "unknown operation"},
        {"import " + state_.file("bad.reg"), "line 5: hex data"},
        {"import " + state_.file("other.reg"), "Only HKEY_LOCAL_MACHINE"},
        {"import " + state_.file("plain.txt"), "does not start with"},
        {"import " + state_.file("missing.reg"), "Cannot read"},
    };
    for (const auto& [arguments, message] : cases) {
        std::string output = Run(arguments, 1);
        EXPECT_NE(output.find("ERROR: "), std::string::npos) << arguments << "\n" << output;
        EXPECT_NE(output.find(message), std::string::npos) << arguments << "\n" << output;
        EXPECT_EQ(ValuesOf(kParameters), before) << arguments;
        EXPECT_FALSE(KeyExists(kParameters + "\\Fresh")) << arguments;
    }
    EXPECT_NE(Run("--state-dir " + state_.file("nowhere") + " query " + key, 1).find("does not exist"),
              std::string::npos);
}

}  // namespace
