#include <cctype>
#include <cstring>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/scoped_env.h"

TEST(ComputerName, ConfiguredNameIsUsedAsGiven)
{
    dvtest::ScopedEnv name("COMPUTERNAME", "Quorum-Host.example.with.long.name");
    char buffer[68];
    DWORD size = sizeof(buffer);
    ASSERT_TRUE(GetComputerNameA(buffer, &size));
    EXPECT_STREQ(buffer, "Quorum-Host.example.with.long.name");
    EXPECT_EQ(size, strlen(buffer));
}

TEST(ComputerName, HostNameIsShortUpperCaseAndAtMostFifteen)
{
    dvtest::ScopedEnv name("COMPUTERNAME", nullptr);
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof(host)), 0);
    std::string expected(host, strcspn(host, "."));
    expected = expected.substr(0, MAX_COMPUTERNAME_LENGTH);
    for (char& c : expected) c = (char)toupper((unsigned char)c);

    char buffer[68];
    DWORD size = sizeof(buffer);
    ASSERT_TRUE(GetComputerNameA(buffer, &size));
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(size, expected.size());
}

TEST(ComputerName, TooSmallBufferReportsTheSizeNeeded)
{
    dvtest::ScopedEnv name("COMPUTERNAME", "QUORUM1");
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    DWORD size = 7;
    EXPECT_FALSE(GetComputerNameA(buffer, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buffer[0], 'x');

    size = 8;
    EXPECT_TRUE(GetComputerNameA(buffer, &size));
    EXPECT_EQ(size, 7u);
    EXPECT_STREQ(buffer, "QUORUM1");
}

TEST(Version, ReportsNtSixOneOrLaterAndChecksTheSize)
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(sizeof(info), 148u);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_TRUE(info.dwMajorVersion > 6 || (info.dwMajorVersion == 6 && info.dwMinorVersion >= 1));
    EXPECT_EQ(info.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_NT);

    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&info));
}

TEST(ModuleFileName, RunningExecutableAndTruncation)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, (DWORD)sizeof(path));
    EXPECT_EQ(strlen(path), length);
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(strstr(path, "platform_tests"), nullptr) << path;

    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof(small)), (DWORD)sizeof(small));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small), std::string(path, 4));
}
