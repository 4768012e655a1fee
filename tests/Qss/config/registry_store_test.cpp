#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "support/event_log.h"
#include "support/temp_dir.h"

namespace {

const char kSubKey[] = "{00112233445566778899aabbccddeeff}";
const char kGuid[] = "5f0c1e2a-8b7d-4c3e-9a10-0123456789ab";

// The Win32-error reports written so far, each "<function> (<line>): <call> (<status>)".
std::vector<std::string> Reports()
{
    std::vector<std::string> reports;
    for (const dvtest::EventRecord& record : dvtest::ReadEventLog()) {
        if (record.id != "0xCC000007" || record.strings.empty()) continue;
        const std::string& text = record.strings[0];
        reports.push_back(text.substr(0, text.find("): \n") + 1));
    }
    return reports;
}

bool KeyExists(const char* path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

struct RegistryStore : ::testing::Test {
    dvtest::StateDir state;
    DWORD savedFlags = qssTraceFlags;
    void SetUp() override { qssTraceFlags = 0; }
    void TearDown() override { qssTraceFlags = savedFlags; }
};

TEST_F(RegistryStore, WithOnlyTheServerIdEachTuningReadIsReportedAndDebugIsQuiet)
{
    ASSERT_TRUE(Qss_RegSetSTRING("QSServerID", kGuid, sizeof kGuid));
    for (const char* name : {"QSServerPortForReceive", "RescanIpAddressInterval", "InstanceRetainTimeAfterDetach",
                             "MaxInstanceNum"}) {
        DWORD value = 99;
        EXPECT_FALSE(Qss_RegGetDWORD(name, FALSE, &value));
        EXPECT_EQ(value, 0u);
    }
    DWORD debug = 99;
    EXPECT_FALSE(Qss_RegGetDWORD("Debug", TRUE, &debug));
    EXPECT_EQ(debug, 0u);
    EXPECT_EQ(Reports(), std::vector<std::string>(4, "Qss_RegGetDWORD (321): RegQueryValueEx (2)"));

    char id[37];
    ASSERT_TRUE(Qss_RegGetSTRING("QSServerID", id, sizeof id));
    EXPECT_STREQ(id, kGuid);
}

TEST_F(RegistryStore, AMissingParametersKeyIsReportedEvenWhenQuiet)
{
    DWORD value = 5;
    EXPECT_FALSE(Qss_RegGetDWORD("Debug", TRUE, &value));
    EXPECT_EQ(value, 0u);
    char text[8] = "stale";
    EXPECT_FALSE(Qss_RegGetSTRING("QSServerID", text, sizeof text));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Reports(), (std::vector<std::string>{"Qss_RegGetDWORD (299): RegOpenKeyEx (2)",
                                                   "Qss_RegGetSTRING (472): RegOpenKeyEx (2)"}));
}

TEST_F(RegistryStore, ParametersRoundTripAndTextIsAlwaysTerminated)
{
    ASSERT_TRUE(Qss_RegSetDWORD("QSServerPortForReceive", 4557));
    DWORD port = 0;
    ASSERT_TRUE(Qss_RegGetDWORD("QSServerPortForReceive", FALSE, &port));
    EXPECT_EQ(port, 4557u);

    // Too long for the buffer: the registry's own 234, reported, buffer emptied.
    char small[8] = "stale";
    EXPECT_FALSE(Qss_RegGetSTRING("QSServerPortForReceive", small, 3));
    EXPECT_STREQ(small, "");
    // Stored without a terminator (as a hand edit may leave it): handed on terminated.
    ASSERT_TRUE(Qss_RegSetSTRING("Name", "abcdef", 6));
    char exact[6];
    ASSERT_TRUE(Qss_RegGetSTRING("Name", exact, sizeof exact));
    EXPECT_STREQ(exact, "abcde");
    EXPECT_EQ(Reports(), (std::vector<std::string>{"Qss_RegGetSTRING (488): RegQueryValueExA (234)"}));
}

TEST_F(RegistryStore, EnumeratingWithoutPersistentStatesEndsSilentlyOnlyAtIndexZero)
{
    char name[256];
    DWORD length = sizeof name;
    EXPECT_EQ(Qss_RegEnumPersistentState(0, name, &length), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(Reports().empty());
    length = sizeof name;
    EXPECT_EQ(Qss_RegEnumPersistentState(1, name, &length), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"Qss_RegEnumPersistentState (1333): RegOpenKeyEx (2)"}));
}

TEST_F(RegistryStore, AnUnterminatedStringIsRefusedBeforeAnyKeyIsCreated)
{
    const char text[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(Qss_RegSetPersistentStateSTRING(kSubKey, "AM1 Id", text, sizeof text), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"Qss_RegSetPersistentStateSTRING (753): StringCbLengthA (87)"}));
    EXPECT_FALSE(KeyExists(QSS_PERSISTENT_STATES_KEY));
}

TEST_F(RegistryStore, PersistentStateWritesCreateTheKeysAndReadBack)
{
    ASSERT_EQ(Qss_RegSetPersistentStateDWORD(kSubKey, "Revision", 3), ERROR_SUCCESS);
    ASSERT_EQ(Qss_RegSetPersistentStateSTRING(kSubKey, "Protected VM Id", kGuid, 37), ERROR_SUCCESS);
    const BYTE time[16] = {0xE8, 0x07, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0};
    ASSERT_EQ(Qss_RegSetPersistentStateBINARY(kSubKey, "System Time Acquired", time, sizeof time), ERROR_SUCCESS);
    EXPECT_EQ(Qss_RegFlushPersistentStates(), ERROR_SUCCESS);

    // A 36-character text is stored with its terminator: 37 bytes.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PERSISTENT_STATES_KEY "\\{00112233445566778899AABBCCDDEEFF}", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Protected VM Id", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 37u);
    RegCloseKey(key);

    DWORD revision = 0;
    EXPECT_EQ(Qss_RegGetPersistentStateDWORD(kSubKey, "Revision", &revision), ERROR_SUCCESS);
    EXPECT_EQ(revision, 3u);
    char text[37];
    EXPECT_EQ(Qss_RegGetPersistentStateSTRING(kSubKey, "Protected VM Id", text, sizeof text), ERROR_SUCCESS);
    EXPECT_STREQ(text, kGuid);
    BYTE back[16];
    EXPECT_EQ(Qss_RegGetPersistentStateBINARY(kSubKey, "System Time Acquired", back, sizeof back), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(back, back + 16), std::vector<BYTE>(time, time + 16));

    char name[256];
    DWORD length = sizeof name;
    ASSERT_EQ(Qss_RegEnumPersistentState(0, name, &length), ERROR_SUCCESS);
    EXPECT_STREQ(name, kSubKey);
    EXPECT_EQ(length, 34u);
    length = sizeof name;
    EXPECT_EQ(Qss_RegEnumPersistentState(1, name, &length), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(RegistryStore, FailedReadsClearTheirOutputs)
{
    BYTE binary[16];
    memset(binary, 0xAA, sizeof binary);
    EXPECT_EQ(Qss_RegGetPersistentStateBINARY(kSubKey, "System Time Acquired", binary, sizeof binary),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::vector<BYTE>(binary, binary + 16), std::vector<BYTE>(16, 0));

    ASSERT_EQ(Qss_RegSetPersistentStateDWORD(kSubKey, "Revision", 3), ERROR_SUCCESS);
    memset(binary, 0xAA, sizeof binary);
    EXPECT_EQ(Qss_RegGetPersistentStateBINARY(kSubKey, "System Time Acquired", binary, sizeof binary),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::vector<BYTE>(binary, binary + 16), std::vector<BYTE>(16, 0));
    DWORD value = 7;
    EXPECT_EQ(Qss_RegGetPersistentStateDWORD("{ffffffffffffffffffffffffffffffff}", "Revision", &value),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 0u);
    char text[4] = "old";
    EXPECT_EQ(Qss_RegGetPersistentStateSTRING(kSubKey, "Revision", text, 3), ERROR_MORE_DATA);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Reports(), (std::vector<std::string>{"Qss_RegGetPersistentStateBINARY (1213): RegOpenKeyEx (2)",
                                                   "Qss_RegGetPersistentStateBINARY (1241): RegQueryValueEx (2)",
                                                   "Qss_RegGetPersistentStateDWORD (995): RegOpenKeyEx (2)",
                                                   "Qss_RegGetPersistentStateSTRING (1126): RegQueryValueExA (234)"}));
}

TEST_F(RegistryStore, DeletingRemovesTheSubkeyAndAMissingOneIsReported)
{
    ASSERT_EQ(Qss_RegSetPersistentStateDWORD(kSubKey, "Revision", 3), ERROR_SUCCESS);
    EXPECT_EQ(Qss_RegDeletePersistentState(kSubKey), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(QSS_PERSISTENT_STATES_KEY "\\{00112233445566778899aabbccddeeff}"));
    EXPECT_EQ(Qss_RegDeletePersistentState(kSubKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"Qss_RegDeletePersistentState (1409): RegDeleteKey (2)"}));
}

}  // namespace
