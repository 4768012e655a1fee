#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"

TEST(LastError, IsPerThread)
{
    SetLastError(ERROR_MORE_DATA);
    DWORD seenByOther = 1;
    std::thread other([&] { seenByOther = GetLastError(); });
    other.join();
    EXPECT_EQ(seenByOther, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
}

TEST(LastError, ErrnoMapsToWin32Codes)
{
    EXPECT_EQ(DvWin32ErrorFromErrno(ENOENT), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DvWin32ErrorFromErrno(EACCES), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(DvWin32ErrorFromErrno(ENOSPC), (DWORD)ERROR_DISK_FULL);
}
