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
