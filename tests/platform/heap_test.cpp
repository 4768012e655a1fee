#include <cstring>

#include <gtest/gtest.h>

#include "platform/win32.h"

TEST(ProcessHeap, ZeroMemoryFlagGivesZeroedBlocks)
{
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    // Dirty a block first so that a reused one would show through.
    unsigned char* dirty = static_cast<unsigned char*>(HeapAlloc(heap, 0, 512));
    ASSERT_NE(dirty, nullptr);
    memset(dirty, 0xA5, 512);
    ASSERT_TRUE(HeapFree(heap, 0, dirty));

    unsigned char* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 512));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_TRUE(HeapFree(heap, 0, block));
}

TEST(ProcessHeap, ZeroBytesIsStillABlockAndForeignHeapsAreRefused)
{
    HANDLE heap = GetProcessHeap();
    void* empty = HeapAlloc(heap, 0, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_TRUE(HeapFree(heap, 0, empty));

    EXPECT_EQ(HeapAlloc(nullptr, 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(LocalMemory, LocalFreeReleasesMallocBuffers)
{
    EXPECT_EQ(LocalFree(malloc(64)), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}
