#include <string>

#include <gtest/gtest.h>

#include "Qss/config/pvm_id.h"
#include "support/event_log.h"
#include "support/qss_diag.h"
#include "support/temp_dir.h"

namespace {

const BYTE kCountingId[QSS_PVM_ID_SIZE] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                           0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const BYTE kZeroId[QSS_PVM_ID_SIZE] = {};

}  // namespace

TEST(PvmIdText, GuidTextKeepsTheBytesInStorageOrder)
{
    char text[QSS_GUID_STRING_SIZE];
    ASSERT_TRUE(Qss_PvmIdToGuidString(kCountingId, sizeof text, text));
    EXPECT_STREQ(text, "00010203-0405-0607-0809-0a0b0c0d0e0f");
    ASSERT_TRUE(Qss_PvmIdToGuidString(kZeroId, sizeof text, text));
    EXPECT_STREQ(text, "00000000-0000-0000-0000-000000000000");
}

TEST(PvmIdText, SubkeyIsTheBytesReversedInBraces)
{
    char name[QSS_PERSISTENT_SUBKEY_SIZE];
    ASSERT_TRUE(Qss_PvmIdToPersistentStateSubKey(kCountingId, sizeof name, name));
    EXPECT_STREQ(name, "{0f0e0d0c0b0a09080706050403020100}");
    ASSERT_TRUE(Qss_PvmIdToPersistentStateSubKey(kZeroId, sizeof name, name));
    EXPECT_STREQ(name, "{00000000000000000000000000000000}");

    char exact[35];
    EXPECT_TRUE(Qss_PvmIdToPersistentStateSubKey(kCountingId, sizeof exact, exact));
}

TEST(PvmIdText, GuidBufferOneByteShortFailsInTheFormatting)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_EVENTLOG | QSS_TRACE_ERRORS);
    char text[36];
    EXPECT_FALSE(Qss_PvmIdToGuidString(kCountingId, sizeof text, text));

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, "0xCC000007");
    EXPECT_EQ(records[0].strings,
              std::vector<std::string>{"Qss_PvmIdToGuidString (398): StringCbPrintf (122): \n"
                                       "The data area passed to a system call is too small.\r\n"});
}

TEST(PvmIdText, GuidBufferBelowSixteenBytesIsAnInternalError)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_EVENTLOG | QSS_TRACE_ERRORS);
    char text[15];
    memset(text, 'x', sizeof text);
    EXPECT_FALSE(Qss_PvmIdToGuidString(kCountingId, sizeof text, text));
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '\0'));

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, "0x4C000005");
    EXPECT_EQ(records[0].strings,
              std::vector<std::string>{"Qss_PvmIdToGuidString: Output buffer size (15) too small."});
    EXPECT_EQ(records[1].id, "0xCC000013");
    EXPECT_EQ(records[1].strings, std::vector<std::string>{"Qss_PvmIdToGuidString (374)"});
}

TEST(PvmIdText, SubkeyBufferTooSmallIsReported)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_EVENTLOG | QSS_TRACE_ERRORS);
    char name[34];
    EXPECT_FALSE(Qss_PvmIdToPersistentStateSubKey(kCountingId, sizeof name, name));

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].strings,
              std::vector<std::string>{
                  "Qss_PvmIdToPersistentStateSubKey: String conversion failed. Output buffer size = 34."});
    EXPECT_EQ(records[1].id, "0xCC000007");
    EXPECT_EQ(records[1].strings.at(0).rfind("Qss_PvmIdToPersistentStateSubKey (475): StringCbPrintfA (122): \n", 0),
              0u);
}
