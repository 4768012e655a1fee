// What a start learns before it serves: host name, identity, tuning, the
// restore and the sockets; and the GUIDs the install command makes.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Qss/config/identity.h"
#include "Qss/config/parameters.h"
#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "support/event_log.h"
#include "support/parameters.h"
#include "support/qss_diag.h"
#include "support/qss_server.h"

namespace {

// Any 36 characters are an identity.
const char kOddServerId[] = "this is not a GUID but 36 characters";

int CountEventsContaining(const std::string& id, const std::string& text)
{
    int count = 0;
    for (const dvtest::EventRecord& event : dvtest::ReadEventLog()) {
        count += event.id == id && !event.strings.empty() && event.strings[0].find(text) != std::string::npos;
    }
    return count;
}

class RetrieveParametersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Qss_RegSetDWORD("QSServerPortForReceive", server_.port()));
        ASSERT_TRUE(Qss_Initialize());
    }
    void TearDown() override
    {
        Qss_StopServerThread(1);
        qssRescanInterval = QSS_DEFAULT_RESCAN_INTERVAL;
        qssInstanceRetainTime = QSS_DEFAULT_INSTANCE_RETAIN_TIME;
        qssMaxInstanceNum = QSS_DEFAULT_MAX_INSTANCE_NUM;
    }

    BOOL Retrieve(std::string* trace)
    {
        testing::internal::CaptureStdout();
        BOOL result = Qss_RetrieveParameters();
        *trace = testing::internal::GetCapturedStdout();
        return result;
    }

    dvtest::QssServer server_; // the host's name and addresses, and a free port; never started
    dvtest::DiagScope diag_{QSS_TRACE_CONSOLE | QSS_TRACE_ERRORS | QSS_TRACE_INFO};
};

TEST_F(RetrieveParametersTest, AStartTakesTheStoredValuesAsTheyAreAndBinds)
{
    ASSERT_TRUE(Qss_RegSetSTRING("QSServerID", kOddServerId, sizeof(kOddServerId)));
    ASSERT_TRUE(Qss_RegSetDWORD("RescanIpAddressInterval", 0));
    ASSERT_TRUE(Qss_RegSetDWORD("InstanceRetainTimeAfterDetach", 1999));
    ASSERT_TRUE(Qss_RegSetDWORD("MaxInstanceNum", 0));
    std::string trace;
    ASSERT_TRUE(Retrieve(&trace));

    EXPECT_STREQ(qssServerInfo.hostName, dvtest::QssServer::kHostName);
    EXPECT_STREQ(qssServerInfo.serverId, kOddServerId);
    EXPECT_EQ(qssServerInfo.protocolMajor, 5);
    EXPECT_EQ(qssServerInfo.protocolMinor, 0);
    EXPECT_EQ(memcmp(&qssServerInfo.componentInfo, &qssComponentInfo, sizeof(QSS_COMPONENT_INFO)), 0);
    EXPECT_EQ(qssRescanInterval, 0u);
    EXPECT_EQ(qssInstanceRetainTime, 1999u);
    EXPECT_EQ(qssMaxInstanceNum, 0u);
    EXPECT_EQ(qssServerInfo.port, server_.port());

    const char* lines[] = {"Hostname: DVNETTEST", "Key: this is not a GUID but 36 characters", "Protocol rev: 0x50000",
                           "Rescan Interval: 0 msec", "Instance Retain Time: 1999 msec (1 seconds)", "Max Instances: 0"};
    size_t at = 0;
    for (const char* line : lines) {
        size_t found = trace.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << trace;
        at = found;
    }
}

TEST_F(RetrieveParametersTest, MissingTuningValuesAreReportedAndGiveTheDefaults)
{
    ASSERT_TRUE(Qss_RegSetSTRING("QSServerID", kOddServerId, sizeof(kOddServerId)));
    qssRescanInterval = 1;
    std::string trace;
    ASSERT_TRUE(Retrieve(&trace));
    EXPECT_EQ(qssRescanInterval, 2000u);
    EXPECT_EQ(qssInstanceRetainTime, 300000u);
    EXPECT_EQ(qssMaxInstanceNum, 4000u);
    EXPECT_EQ(CountEventsContaining("0xCC000007", "Qss_RegGetDWORD (321): RegQueryValueEx"), 3);
}

TEST_F(RetrieveParametersTest, AMissingOrShortIdentityFailsBeforeTuningAndRestore)
{
    BYTE pvmId[QSS_PVM_ID_SIZE] = {7};
    char subKey[QSS_PERSISTENT_SUBKEY_SIZE];
    ASSERT_TRUE(Qss_PvmIdToPersistentStateSubKey(pvmId, sizeof(subKey), subKey));
    ASSERT_EQ(Qss_RegSetPersistentStateDWORD(subKey, "Quorum Holder", 0), 0);

    std::string trace;
    EXPECT_FALSE(Retrieve(&trace));
    EXPECT_NE(trace.find("Invalid QSServer GUID in registry"), std::string::npos);
    EXPECT_EQ(CountEventsContaining("0xCC000013", "qssGetMyKey (2333)"), 1);
    EXPECT_EQ(CountEventsContaining("0xCC000007", "(321)"), 0);
    EXPECT_EQ(trace.find("Enumerated PVM ID key"), std::string::npos);

    const char shortId[] = "35 characters: one short of an id..";
    static_assert(sizeof(shortId) == 36);
    ASSERT_TRUE(Qss_RegSetSTRING("QSServerID", shortId, sizeof(shortId)));
    EXPECT_FALSE(Retrieve(&trace));
    EXPECT_EQ(CountEventsContaining("0xCC000013", "qssGetMyKey (2333)"), 2);
}

TEST_F(RetrieveParametersTest, TheGuardValuesAreReadAndTracedWithTheTuning)
{
    ASSERT_TRUE(Qss_RegSetSTRING("QSServerID", kOddServerId, sizeof(kOddServerId)));
    ASSERT_TRUE(dvtest::SetMultiString("AllowedPeers", {"10.1.2.0/24", "10.1.2.9", "192.0.2.17"}));
    ASSERT_TRUE(Qss_RegSetDWORD("RequireIncreasingSequences", 1));
    std::string trace;
    ASSERT_TRUE(Retrieve(&trace));
    EXPECT_NE(trace.find("Allowed Peers: 3 entries in 2 address ranges"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Require Increasing Sequences: 1"), std::string::npos) << trace;
    EXPECT_EQ(qssRequireIncreasingSequences, 1u);
    qssRequireIncreasingSequences = 0;
}

// A mistyped value fails the start before anything is restored or bound, and
// names the value and what is wrong with it.
TEST_F(RetrieveParametersTest, AnInvalidGuardValueFailsTheStartAndChangesNothing)
{
    ASSERT_TRUE(Qss_RegSetSTRING("QSServerID", kOddServerId, sizeof(kOddServerId)));
    BYTE pvmId[QSS_PVM_ID_SIZE] = {7};
    char subKey[QSS_PERSISTENT_SUBKEY_SIZE];
    ASSERT_TRUE(Qss_PvmIdToPersistentStateSubKey(pvmId, sizeof(subKey), subKey));
    ASSERT_EQ(Qss_RegSetPersistentStateDWORD(subKey, "Quorum Holder", 1), 0);

    const DWORD two = 2;
    struct Case {
        const char* value;
        DWORD type;
        std::string data;
        const char* named;
    } cases[] = {
        {"AllowedPeers", REG_MULTI_SZ, std::string("10.1.2.0/24\0" "10.1.2.0/33\0\0", 26), "\"10.1.2.0/33\""},
        {"AllowedPeers", REG_MULTI_SZ, std::string("192.0.2.300\0\0", 13), "\"192.0.2.300\""},
        {"AllowedPeers", REG_MULTI_SZ, std::string("10.1.2.3\0\0" "10.1.2.4\0\0", 20), "an empty entry"},
        {"AllowedPeers", REG_SZ, std::string("10.1.2.3\0", 9), "not REG_MULTI_SZ"},
        {"RequireIncreasingSequences", REG_DWORD, std::string((const char*)&two, 4), "2 is neither 0 nor 1"},
        {"RequireIncreasingSequences", REG_SZ, std::string("1\0", 2), "not REG_DWORD"},
    };
    int failures = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        ASSERT_TRUE(dvtest::SetParameter(c.value, c.type, c.data.data(), (DWORD)c.data.size()));
        std::string trace;
        EXPECT_FALSE(Retrieve(&trace));
        std::vector<std::string> strings;
        int events = 0;
        for (const dvtest::EventRecord& event : dvtest::ReadEventLog()) {
            if (event.id != "0xCC000021") continue;
            ++events;
            strings = event.strings;
        }
        EXPECT_EQ(events, ++failures);
        ASSERT_EQ(strings.size(), 2u);
        EXPECT_EQ(strings[0], c.value);
        EXPECT_NE(strings[1].find(c.named), std::string::npos) << strings[1];
        EXPECT_EQ(trace.find("Enumerated PVM ID key"), std::string::npos);
        EXPECT_TRUE(dvtest::UdpSocketsOnPort(server_.port()).empty());
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, QSS_PARAMETERS_KEY, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        RegDeleteValueA(key, c.value);
        RegCloseKey(key);
    }
    DWORD holder = 0;
    EXPECT_EQ(Qss_RegGetPersistentStateDWORD(subKey, "Quorum Holder", &holder), 0);
    EXPECT_EQ(holder, 1u);
}

TEST(ServerIdentity, AGeneratedGuidIsThirtySixLowerCaseCharacters)
{
    dvtest::DiagScope diag;
    UUID first;
    UUID second;
    ASSERT_TRUE(Qss_GenerateGUID(&first));
    ASSERT_TRUE(Qss_GenerateGUID(&second));
    EXPECT_NE(memcmp(&first, &second, sizeof(UUID)), 0);

    char text[QSS_GUID_STRING_SIZE];
    ASSERT_TRUE(Qss_GuidToString(&first, sizeof(text), text));
    ASSERT_EQ(strlen(text), 36u);
    for (int i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(text[i], '-');
        } else {
            EXPECT_TRUE(strchr("0123456789abcdef", text[i])) << text;
        }
    }

    char small[36];
    testing::internal::CaptureStdout();
    EXPECT_FALSE(Qss_GuidToString(&first, sizeof(small), small));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Qss_GuidToString (291): StringCbCopyA error (-2147024774)"), std::string::npos);
    EXPECT_NE(printed.find("Qss_GuidToString (280): StringCbLengthA failed (0)"), std::string::npos);
}

}  // namespace
