#include <string>

#include <gtest/gtest.h>

#include "support/event_log.h"
#include "support/qss_diag.h"
#include "support/temp_dir.h"

namespace {

void WINAPI EveningOfMarchNinth(LPSYSTEMTIME now)
{
    *now = SYSTEMTIME{2024, 3, 6, 9, 19, 35, 20, 0};
}

void WINAPI JustAfterMidnight(LPSYSTEMTIME now)
{
    *now = SYSTEMTIME{2024, 12, 2, 31, 0, 5, 9, 999};
}

std::string TraceToConsole(const char* text)
{
    testing::internal::CaptureStdout();
    Qss_TraceLog(text, 0, NULL);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(TraceLog, ConsoleLineHasTheDateAndA12HourTime)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_CONSOLE | QSS_TRACE_INFO);
    qssTraceClock = EveningOfMarchNinth;
    EXPECT_EQ(TraceToConsole("There are 2 IP addresses."), "    2024-03-09 07:35:20 Dorvane: There are 2 IP addresses.\n");
    qssTraceClock = JustAfterMidnight;
    // A text's own line break is kept, which leaves an empty line after it.
    EXPECT_EQ(TraceToConsole("text\n"), "    2024-12-31 12:05:09 Dorvane: text\n\n");
}

TEST(TraceLog, ConsoleModeNeverWritesTheEventLog)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_CONSOLE | QSS_TRACE_EVENTLOG | QSS_TRACE_INFO);
    EXPECT_NE(TraceToConsole("to the console"), "");
    EXPECT_TRUE(dvtest::ReadEventLogLines().empty());
}

TEST(TraceLog, WithTheEventLogBitAcceptedLinesBecomeEvents)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_EVENTLOG | QSS_TRACE_INFO);
    testing::internal::CaptureStdout();
    Qss_TracePrintf(QSS_TRACE_INFO, "There are %u IP addresses.", 3u);
    Qss_TracePrintf(QSS_TRACE_WARNINGS, "Received invalid packet length");
    const BYTE data[] = {1, 2, 3, 4};
    Qss_TraceLog("with data", sizeof data, data);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, "0x4C000005");
    EXPECT_EQ(records[0].type, "information");
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"There are 3 IP addresses."});
    EXPECT_EQ(records[0].data, "");
    EXPECT_EQ(records[1].data, "01020304");
}

TEST(TraceLog, WithoutConsoleOrEventLogLinesAreDropped)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_INFO);
    EXPECT_EQ(TraceToConsole("dropped"), "");
    EXPECT_TRUE(dvtest::ReadEventLogLines().empty());
}

TEST(TraceLog, LongTextIsCutAt1023Characters)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_EVENTLOG | QSS_TRACE_INFO);
    std::string text(2000, 'a');
    text[1022] = 'z';
    Qss_TraceLog(text.c_str(), 0, NULL);
    Qss_TracePrintf(QSS_TRACE_INFO, "%s", text.c_str());

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 2u);
    for (const dvtest::EventRecord& record : records) {
        ASSERT_EQ(record.strings.size(), 1u);
        EXPECT_EQ(record.strings[0], text.substr(0, 1023));
    }
}
