#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

}  // namespace

TEST(FormatMessage, SystemTextsEndInALineBreak)
{
    char text[256];
    DWORD length = FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 1033, text, sizeof text, nullptr);
    EXPECT_STREQ(text, "Access is denied.\r\n");
    EXPECT_EQ(length, strlen(text));

    ASSERT_NE(FormatMessageA(kFromSystem, nullptr, WSAEMSGSIZE, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(std::string(text).rfind("A message sent on a datagram socket", 0), 0u);
}

TEST(FormatMessage, EveryCodeTheProgramNamesHasAText)
{
    const DWORD codes[] = {ERROR_FILE_NOT_FOUND,
                           ERROR_ACCESS_DENIED,
                           ERROR_NOT_ENOUGH_MEMORY,
                           ERROR_INVALID_PARAMETER,
                           ERROR_INSUFFICIENT_BUFFER,
                           ERROR_MORE_DATA,
                           ERROR_NO_MORE_ITEMS,
                           ERROR_IO_PENDING,
                           ERROR_SERVICE_DOES_NOT_EXIST,
                           ERROR_SERVICE_NOT_ACTIVE,
                           ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
                           ERROR_SERVICE_SPECIFIC_ERROR,
                           ERROR_SERVICE_MARKED_FOR_DELETE,
                           ERROR_SERVICE_EXISTS,
                           WSAEMSGSIZE,
                           WSAENETRESET,
                           WSAECONNABORTED,
                           WSAECONNRESET,
                           WSAESHUTDOWN,
                           WSAEADDRINUSE,
                           WSAEADDRNOTAVAIL,
                           WSANOTINITIALISED,
                           WSAHOST_NOT_FOUND};
    for (DWORD code : codes) {
        char text[512];
        EXPECT_NE(FormatMessageA(kFromSystem, nullptr, code, 0, text, sizeof text, nullptr), 0u) << code;
    }
}

TEST(FormatMessage, UnknownCodeFailsWith317)
{
    char text[64] = "unchanged";
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, 0x20001234, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
}

TEST(FormatMessage, AllocatesWhatLocalFreeReleases)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_FILE_NOT_FOUND, 0,
                                  reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "The system cannot find the file specified.\r\n");
    EXPECT_EQ(length, strlen(text));
    EXPECT_EQ(LocalFree(text), nullptr);
}

TEST(FormatMessage, TooSmallBufferFailsWith122)
{
    char text[8];
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST(FormatMessage, OtherLanguagesAreNotFound)
{
    char text[64];
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 1031, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST(Modules, LoadsFromTheSystemLibraryPathAndFindsExports)
{
    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(libc, nullptr);
    FARPROC found = GetProcAddress(libc, "strlen");
    ASSERT_NE(found, nullptr);
    auto length = reinterpret_cast<size_t (*)(const char*)>(reinterpret_cast<void (*)()>(found));
    EXPECT_EQ(length("four"), 4u);
    EXPECT_EQ(GetProcAddress(libc, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(libc));
}

TEST(Modules, MissingModuleFailsWith126)
{
    EXPECT_EQ(LoadLibraryA("no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA("/no/such/folder/module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST(Modules, AFileThatIsNoModuleIsABadImage)
{
    EXPECT_EQ(LoadLibraryA("/proc/self/status"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_EXE_FORMAT);
}

TEST(Modules, ModuleWithoutAMessageTable)
{
    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(libc, nullptr);
    char text[64];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, libc, 1, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(libc));
}
