// The 64-socket select set and the wake-up that ends a wait at once.
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

TEST(SelectSetTest, HoldsAtMostSixtyFourSocketsEachOnce)
{
    std::vector<SOCKET> sockets;
    for (int i = 0; i < 65; ++i) sockets.push_back(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    fd_set set;
    FD_ZERO(&set);
    for (int i = 0; i < 64; ++i) EXPECT_TRUE(DvSelectSetAdd(&set, sockets[i]));
    EXPECT_TRUE(DvSelectSetAdd(&set, sockets[3]));
    EXPECT_FALSE(DvSelectSetAdd(&set, sockets[64]));
    EXPECT_TRUE(DvSelectSetHas(&set, sockets[63]));
    EXPECT_FALSE(DvSelectSetHas(&set, sockets[64]));
    EXPECT_FALSE(DvSelectSetHas(&set, INVALID_SOCKET));
    for (SOCKET s : sockets) closesocket(s);
}

TEST(WakeupTest, ARaiseFromAnotherThreadEndsASelectAndEverySleepAfterIt)
{
    DV_WAKEUP* wakeup = DvWakeupCreate();
    ASSERT_NE(wakeup, nullptr);
    EXPECT_FALSE(DvWakeupIsRaised(wakeup));
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        DvWakeupRaise(wakeup);
    });
    fd_set set;
    FD_ZERO(&set);
    ASSERT_TRUE(DvWakeupAddToSet(wakeup, &set));
    // Far longer than any test may take: only the raise ends it.
    struct timeval forever = {3600, 0};
    EXPECT_EQ(select(0, &set, nullptr, nullptr, &forever), 1);
    raiser.join();
    EXPECT_TRUE(DvWakeupIsRaised(wakeup));
    DvWakeupSleep(wakeup, 3600 * 1000);
    DvWakeupRaise(wakeup);
    DvWakeupClose(wakeup);
}

TEST(WakeupTest, ASleepWithoutARaiseLastsItsTime)
{
    DV_WAKEUP* wakeup = DvWakeupCreate();
    ASSERT_NE(wakeup, nullptr);
    auto start = std::chrono::steady_clock::now();
    DvWakeupSleep(wakeup, 30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    DvWakeupClose(wakeup);
}

}  // namespace
