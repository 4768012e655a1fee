#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/event_log.h"
#include "support/qss_diag.h"
#include "support/temp_dir.h"

namespace {

// A Win32 code the system has no text for.
constexpr int kCodeWithoutText = 0x2000ABCD;

}  // namespace

TEST(Win32ErrorText, PrefixNamesTheCallFollowedByTheSystemText)
{
    dvtest::DiagScope diag;
    char text[QSS_MAX_MESSAGE];
    Qss_GetWin32ErrorText("qssServiceStart", 1560, "CreateEvent", 8, text, sizeof text);
    EXPECT_STREQ(text, "qssServiceStart (1560): CreateEvent (8): \n"
                       "Not enough memory resources are available to process this command.\r\n");

    char small[24];
    Qss_GetWin32ErrorText("qssServiceStart", 1560, "CreateEvent", 8, small, sizeof small);
    EXPECT_STREQ(small, "qssServiceStart (1560):");
}

TEST(Win32ErrorText, CodeWithoutASystemTextKeepsOnlyThePrefix)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    testing::internal::CaptureStdout();
    Qss_LogWin32Error("qssGetMyKey", 2300, "RegQueryValueEx", kCodeWithoutText, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"qssGetMyKey (2300): RegQueryValueEx (536914893): \n"});
}

TEST(Win32ErrorText, ConsoleModeReportsTheMissingText)
{
    dvtest::DiagScope diag(QSS_TRACE_CONSOLE);
    char text[QSS_MAX_MESSAGE];
    testing::internal::CaptureStdout();
    Qss_GetWin32ErrorText("main", 597, "StartServiceCtrlDispatcher", kCodeWithoutText, text, sizeof text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Dorvane: Qss_GetWin32ErrorText (696): FormatMessage returned 0. Last error = 317.\n\n"
              "Dorvane: Original error: main (597): StartServiceCtrlDispatcher (536914893): \n\n\n");
}

TEST(LogWin32Error, PrintsOnlyWhenThePrintFlagIsExactlyOne)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    for (int printFlag : {0, 2, 1}) {
        testing::internal::CaptureStdout();
        Qss_LogWin32Error("qssCmdInstallService", 1067, "ChangeServiceConfig", ERROR_ACCESS_DENIED, printFlag);
        std::string printed = testing::internal::GetCapturedStdout();
        if (printFlag == 1) {
            EXPECT_EQ(printed, "Dorvane: qssCmdInstallService (1067): ChangeServiceConfig (5): \nAccess is denied.\r\n\n");
        } else {
            EXPECT_EQ(printed, "") << printFlag;
        }
    }
    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 3u);
    for (const dvtest::EventRecord& record : records) {
        EXPECT_EQ(record.id, "0xCC000007");
        EXPECT_EQ(record.type, "error");
        EXPECT_EQ(record.strings,
                  std::vector<std::string>{"qssCmdInstallService (1067): ChangeServiceConfig (5): \nAccess is denied.\r\n"});
    }
}

TEST(LogError, FormatsTheCodeAndTheOptionalExtraTextWithTheCountersAsData)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    qssStats.recvErrors = 1;
    qssStats.unrecognizedTypeErrors = 0x0A0B0C0D;
    Qss_LogError("qssServiceThread", 796, "recvfrom", WSAECONNREFUSED, NULL);
    Qss_LogError("qssRescanIPaddress", 2790, "bind", WSAEADDRINUSE, "127.0.0.1");

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, "0xCC000006");
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"qssServiceThread (796): recvfrom (Err:10061)"});
    EXPECT_EQ(records[0].data, "01000000" + std::string(8 * 8, '0') + "0d0c0b0a");
    EXPECT_EQ(records[1].strings, std::vector<std::string>{"qssRescanIPaddress (2790): bind (Err:10048) 127.0.0.1"});
}

TEST(Stats, CountersCountFromManyThreads)
{
    dvtest::DiagScope diag;
    std::vector<std::thread> counters;
    for (int t = 0; t < 4; ++t) {
        counters.emplace_back([] {
            for (int i = 0; i < 10000; ++i) Qss_IncrementStat(&qssStats.sendErrors);
        });
    }
    QSS_STATS seen;
    Qss_SnapshotStats(&seen);  // while they count
    for (std::thread& counter : counters) counter.join();
    Qss_SnapshotStats(&seen);
    EXPECT_EQ(seen.sendErrors, 40000u);
    EXPECT_EQ(seen.recvErrors, 0u);

    qssStats.shortSends = 0xFFFFFFFF;
    Qss_IncrementStat(&qssStats.shortSends);
    EXPECT_EQ(qssStats.shortSends, 0u);
}
