// Console control: SIGINT and SIGQUIT reach the handlers on a thread of the layer.
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

struct Call {
    int handler;
    DWORD event;
    std::thread::id thread;
};

std::mutex gMutex;
std::condition_variable gCalled;
std::vector<Call> gCalls;

BOOL Record(int handler, DWORD event, BOOL handled)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gCalls.push_back({handler, event, std::this_thread::get_id()});
    gCalled.notify_all();
    return handled;
}

BOOL WINAPI Handles(DWORD event) { return Record(1, event, TRUE); }
BOOL WINAPI PassesOn(DWORD event) { return Record(2, event, FALSE); }

// Waits for the calls; a generous deadline, as the machine may be busy.
std::vector<Call> WaitForCalls(size_t count)
{
    std::unique_lock<std::mutex> lock(gMutex);
    gCalled.wait_for(lock, std::chrono::seconds(20), [&] { return gCalls.size() >= count; });
    std::vector<Call> calls = gCalls;
    gCalls.clear();
    return calls;
}

TEST(ConsoleTest, CtrlCAndCtrlBreakRunTheHandlersOnALayerThread)
{
    ASSERT_TRUE(SetConsoleCtrlHandler(Handles, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(PassesOn, TRUE));

    // The latest handler first, then the next until one handles the event.
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    std::vector<Call> calls = WaitForCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].handler, 2);
    EXPECT_EQ(calls[1].handler, 1);
    EXPECT_EQ(calls[0].event, CTRL_C_EVENT);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());

    ASSERT_TRUE(SetConsoleCtrlHandler(PassesOn, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(PassesOn, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(kill(getpid(), SIGQUIT), 0);
    calls = WaitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handler, 1);
    EXPECT_EQ(calls[0].event, CTRL_BREAK_EVENT);

    // Ignoring Ctrl+C leaves Ctrl+Break alone; the byte order of the relay keeps them in sequence.
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_EQ(kill(getpid(), SIGQUIT), 0);
    calls = WaitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].event, CTRL_BREAK_EVENT);
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, FALSE));
    ASSERT_TRUE(SetConsoleCtrlHandler(Handles, FALSE));
}

TEST(ConsoleDeathTest, UnhandledCtrlCEndsTheProcessAsTheSignalWould)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(PassesOn, TRUE);
            kill(getpid(), SIGINT);
            for (;;) pause();
        },
        testing::KilledBySignal(SIGINT), "");
}

}  // namespace
