#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

constexpr DWORD kGenerous = 10000;

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));

    auto otherCanEnter = [&cs] {
        BOOL entered = FALSE;
        std::thread other([&] {
            entered = TryEnterCriticalSection(&cs);
            if (entered) {
                LeaveCriticalSection(&cs);
            }
        });
        other.join();
        return entered;
    };
    EXPECT_FALSE(otherCanEnter());
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(otherCanEnter());
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(otherCanEnter());
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, SerialisesPlainUpdates)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; i++) {
            EnterCriticalSection(&cs);
            EnterCriticalSection(&cs);
            counter++;
            LeaveCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 20000);
    DeleteCriticalSection(&cs);
}

TEST(Event, ManualResetStaysSignaledUntilReset)
{
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(event, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Event, AutoResetReleasesOneWaitPerSignal)
{
    HANDLE event = CreateEventA(NULL, FALSE, TRUE, NULL);
    ASSERT_NE(event, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    SetEvent(event);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    SetEvent(event);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Event, NamedEventsAreRefused)
{
    EXPECT_EQ(CreateEventA(NULL, TRUE, FALSE, "Global\\Dorvane"), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
}

struct ThreadProbe {
    HANDLE go;
    DWORD seenId;
};

DWORD WINAPI ProbeThread(LPVOID parameter)
{
    ThreadProbe* probe = static_cast<ThreadProbe*>(parameter);
    probe->seenId = GetCurrentThreadId();
    WaitForSingleObject(probe->go, INFINITE);
    return 42;
}

TEST(Thread, RunsAndIsWaitedFor)
{
    ThreadProbe probe = {CreateEventA(NULL, TRUE, FALSE, NULL), 0};
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, ProbeThread, &probe, 0, &id);
    ASSERT_NE(thread, (HANDLE)NULL);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);

    SetEvent(probe.go);
    EXPECT_EQ(WaitForSingleObject(thread, kGenerous), WAIT_OBJECT_0);
    EXPECT_EQ(probe.seenId, id);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(probe.go);
}

struct ClosedThreadProbe {
    HANDLE go;
    HANDLE done;
};

DWORD WINAPI SignalWhenReleased(LPVOID parameter)
{
    ClosedThreadProbe* probe = static_cast<ClosedThreadProbe*>(parameter);
    WaitForSingleObject(probe->go, INFINITE);
    SetEvent(probe->done);
    return 0;
}

TEST(Thread, HandleMayBeClosedWhileTheThreadRuns)
{
    ClosedThreadProbe probe = {CreateEventA(NULL, TRUE, FALSE, NULL), CreateEventA(NULL, TRUE, FALSE, NULL)};
    HANDLE thread = CreateThread(NULL, 64 * 1024, SignalWhenReleased, &probe, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(probe.go);
    EXPECT_EQ(WaitForSingleObject(probe.done, kGenerous), WAIT_OBJECT_0);
    CloseHandle(probe.go);
    CloseHandle(probe.done);
}

TEST(Handle, WrongKindsAreRefused)
{
    EXPECT_FALSE(CloseHandle(NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    HANDLE queue = CreateTimerQueue();
    ASSERT_NE(queue, (HANDLE)NULL);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(queue));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(queue, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(queue));
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));

    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD code;
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeleteTimerQueueEx(event, INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

}  // namespace
