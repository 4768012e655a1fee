#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/scoped_env.h"

namespace {

const char* const datePicture = "yyyy'-'MM'-'dd";
const char* const timePicture = "hh':'mm':'ss";

SYSTEMTIME at(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME st = {};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    return st;
}

std::string formatTime(const SYSTEMTIME& st)
{
    char text[9] = "";
    int written = GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, timePicture, text, sizeof(text));
    EXPECT_EQ(written, 9);
    return text;
}

}  // namespace

TEST(DateTimeFormat, ProgramPicturesGiveDateAndTwelveHourTime)
{
    SYSTEMTIME st = at(2024, 3, 9, 19, 35, 20);
    char date[11] = "";
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, datePicture, date, sizeof(date)), 11);
    EXPECT_STREQ(date, "2024-03-09");
    EXPECT_EQ(formatTime(st), "07:35:20");
    EXPECT_EQ(formatTime(at(2024, 3, 9, 0, 5, 7)), "12:05:07");
    EXPECT_EQ(formatTime(at(2024, 3, 9, 12, 0, 0)), "12:00:00");
    EXPECT_EQ(formatTime(at(2024, 3, 9, 11, 59, 59)), "11:59:59");
}

TEST(DateTimeFormat, OtherElementsAndLiterals)
{
    SYSTEMTIME st = at(2024, 3, 9, 7, 5, 2);
    char text[64];
    ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOTIMEMARKER, &st, "H:m:s HH 'it''s' h", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "7:5:2 07 it's 7");
    ASSERT_GT(GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, "d/M/yy y", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "9/3/24 24");
}

TEST(DateTimeFormat, SizeRulesFollowWindows)
{
    SYSTEMTIME st = at(2024, 3, 9, 19, 35, 20);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, datePicture, nullptr, 0), 11);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, timePicture, nullptr, 0), 9);

    char text[10];
    memset(text, 'x', sizeof(text));
    SetLastError(0);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, datePicture, text, 10), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(text[0], 'x');
    SetLastError(0);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, timePicture, text, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST(DateTimeFormat, RejectsWhatItCannotFormat)
{
    SYSTEMTIME st = at(2024, 3, 9, 19, 35, 20);
    char text[64];
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, "dddd, MMMM d", text, sizeof(text)), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, "hh tt", text, sizeof(text)), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SYSTEMTIME february30 = at(2023, 2, 29, 0, 0, 0);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &february30, datePicture, text, sizeof(text)), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SYSTEMTIME hour24 = at(2024, 3, 9, 24, 0, 0);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &hour24, timePicture, text, sizeof(text)), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(DateTimeFormat, NullTimeMeansNow)
{
    char date[11];
    char time[9];
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, nullptr, datePicture, date, sizeof(date)), 11);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, nullptr, timePicture, time, sizeof(time)), 9);
    EXPECT_EQ(date[4], '-');
    EXPECT_EQ(time[2], ':');
}

TEST(SystemTime, UtcConvertsToTheCurrentLocalZone)
{
    dvtest::ScopedEnv zone("TZ", "XST-2");  // two hours east of UTC, no daylight saving
    SYSTEMTIME utc = at(2024, 3, 9, 23, 35, 20);
    utc.wMilliseconds = 250;
    SYSTEMTIME local;
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    EXPECT_EQ(local.wYear, 2024);
    EXPECT_EQ(local.wMonth, 3);
    EXPECT_EQ(local.wDay, 10);
    EXPECT_EQ(local.wDayOfWeek, 0);  // Sunday
    EXPECT_EQ(local.wHour, 1);
    EXPECT_EQ(local.wMinute, 35);
    EXPECT_EQ(local.wSecond, 20);
    EXPECT_EQ(local.wMilliseconds, 250);

    SYSTEMTIME invalid = at(2024, 13, 1, 0, 0, 0);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &invalid, &local));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(SystemTime, LocalAndSystemTimesAreConsistent)
{
    dvtest::ScopedEnv zone("TZ", "XST-2");
    SYSTEMTIME utc;
    SYSTEMTIME local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    SYSTEMTIME converted;
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &converted));
    // Both were taken within moments of each other: at most a minute apart.
    int utcMinutes = converted.wHour * 60 + converted.wMinute;
    int localMinutes = local.wHour * 60 + local.wMinute;
    int difference = (localMinutes - utcMinutes + 1440) % 1440;
    EXPECT_LE(difference, 1);
}

TEST(SystemTime, LocalTimesFromManyThreadsAtOnce)
{
    // Without TZ the C library reads the zone afresh at every local time: the
    // case in which threads tracing and writing events at once met inside it.
    dvtest::ScopedEnv zone("TZ", nullptr);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                SYSTEMTIME now;
                GetSystemTime(&now);
                SYSTEMTIME local;
                GetLocalTime(&local);
                SYSTEMTIME utc = at(2024, 3, 9, 23, 35, 20);
                SYSTEMTIME converted;
                if (local.wYear < 2024 || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &converted)) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}

TEST(TickCount, AdvancesAcrossASleep)
{
    DWORD before = GetTickCount();
    Sleep(20);
    DWORD elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 20u);
}
