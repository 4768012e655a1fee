#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

constexpr DWORD kGenerous = 10000;

bool Signaled(HANDLE event) { return WaitForSingleObject(event, kGenerous) == WAIT_OBJECT_0; }

// One timer's view of its callback: when and where it ran, and how often.
struct Probe {
    HANDLE started = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE finished = CreateEventA(NULL, TRUE, FALSE, NULL);
    CRITICAL_SECTION* lock = nullptr;
    std::atomic<int> runs{0};
    std::atomic<DWORD> threadId{0};
    BOOLEAN fired = FALSE;
    std::chrono::steady_clock::time_point ranAt;

    ~Probe()
    {
        CloseHandle(started);
        CloseHandle(finished);
    }
};

VOID CALLBACK RecordRun(PVOID parameter, BOOLEAN fired)
{
    Probe* probe = static_cast<Probe*>(parameter);
    probe->ranAt = std::chrono::steady_clock::now();
    probe->threadId = GetCurrentThreadId();
    probe->fired = fired;
    SetEvent(probe->started);
    if (probe->lock != nullptr) {
        EnterCriticalSection(probe->lock);
        LeaveCriticalSection(probe->lock);
    }
    probe->runs++;
    SetEvent(probe->finished);
}

class TimerQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        queue = CreateTimerQueue();
        ASSERT_NE(queue, (HANDLE)NULL);
        InitializeCriticalSection(&lock);
    }
    void TearDown() override
    {
        if (queue != NULL) {
            EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
        }
        DeleteCriticalSection(&lock);
    }
    // Before the probes of a test go: no callback runs afterwards.
    void DeleteQueue()
    {
        EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
        queue = NULL;
    }
    HANDLE Arm(Probe& probe, DWORD due)
    {
        HANDLE timer = NULL;
        EXPECT_TRUE(CreateTimerQueueTimer(&timer, queue, RecordRun, &probe, due, 0, WT_EXECUTELONGFUNCTION));
        return timer;
    }
    // Takes the test's lock and arms a timer due at once whose callback has
    // started and now waits for that lock.
    HANDLE ArmHeld(Probe& probe)
    {
        probe.lock = &lock;
        EnterCriticalSection(&lock);
        HANDLE timer = Arm(probe, 0);
        EXPECT_TRUE(Signaled(probe.started));
        return timer;
    }
    HANDLE queue = NULL;
    CRITICAL_SECTION lock;
};

TEST_F(TimerQueue, CallbackRunsOnceOnAWorkerNoEarlierThanDue)
{
    Probe probe, immediate;
    auto armedAt = std::chrono::steady_clock::now();
    HANDLE timer = Arm(probe, 30);
    Arm(immediate, 0);
    EXPECT_TRUE(Signaled(probe.finished));
    EXPECT_TRUE(Signaled(immediate.finished));
    EXPECT_GE(probe.ranAt - armedAt, std::chrono::milliseconds(30));
    EXPECT_NE(probe.threadId, GetCurrentThreadId());
    EXPECT_TRUE(probe.fired);
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    DeleteQueue();
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(immediate.runs, 1);
}

TEST_F(TimerQueue, DeletedBeforeDueNeverRuns)
{
    Probe cancelled, later;
    HANDLE timer = Arm(cancelled, 40);
    Arm(later, 80);
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, NULL));
    // The later timer came due after the cancelled one would have.
    EXPECT_TRUE(Signaled(later.finished));
    DeleteQueue();
    EXPECT_EQ(cancelled.runs, 0);
}

// A freed timer's storage serves the next one created: nothing of the old
// timer (its callback, its pending deletion) may carry over.
TEST_F(TimerQueue, TimersCreatedAfterDeletionsRunOnlyAsThemselves)
{
    Probe cancelled, ran, pending, last;
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, Arm(cancelled, kGenerous), NULL));
    HANDLE timer = Arm(ran, 0);
    EXPECT_TRUE(Signaled(ran.finished));
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));

    pending.lock = &lock;
    EnterCriticalSection(&lock);
    timer = Arm(pending, 0);
    EXPECT_TRUE(Signaled(pending.started));
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, timer, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    LeaveCriticalSection(&lock);
    EXPECT_TRUE(Signaled(pending.finished));

    timer = Arm(last, 0);
    EXPECT_TRUE(Signaled(last.finished));
    // Not marked for deletion by the pending one before it: deleting it is still this caller's to do.
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    DeleteQueue();
    EXPECT_EQ(cancelled.runs, 0);
    EXPECT_EQ(ran.runs, 1);
    EXPECT_EQ(pending.runs, 1);
    EXPECT_EQ(last.runs, 1);
}

TEST_F(TimerQueue, NonWaitingDeleteOfAStartedCallbackIsPendingAndTheCallbackFinishes)
{
    Probe probe;
    HANDLE timer = ArmHeld(probe);
    SetLastError(0);
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, timer, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    LeaveCriticalSection(&lock);
    EXPECT_TRUE(Signaled(probe.finished));
    DeleteQueue();
    EXPECT_EQ(probe.runs, 1);
}

TEST_F(TimerQueue, WaitingDeleteReturnsAfterTheCallbackEnds)
{
    Probe probe;
    HANDLE timer = ArmHeld(probe);
    int runsWhenDeleted = -1;
    std::thread deleter([&] {
        EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
        runsWhenDeleted = probe.runs;
    });
    LeaveCriticalSection(&lock);
    deleter.join();
    EXPECT_EQ(runsWhenDeleted, 1);
    DeleteQueue();
}

TEST_F(TimerQueue, DeleteQueueWaitsForRunningCallbacksAndCancelsTheRest)
{
    Probe running[3], pending;
    EnterCriticalSection(&lock);
    for (Probe& probe : running) {
        probe.lock = &lock;
        Arm(probe, 0);
    }
    Arm(pending, 60000);
    for (Probe& probe : running) {
        EXPECT_TRUE(Signaled(probe.started));
    }
    int finishedWhenDeleted = -1;
    std::thread deleter([&] {
        EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
        finishedWhenDeleted = running[0].runs + running[1].runs + running[2].runs + pending.runs;
    });
    // Give the delete a chance to start waiting before the callbacks may end.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    LeaveCriticalSection(&lock);
    deleter.join();
    queue = NULL;
    EXPECT_EQ(finishedWhenDeleted, 3);
}

TEST_F(TimerQueue, BlockedCallbacksDoNotHoldUpOtherTimers)
{
    // More blocked callbacks than the workers a queue starts without delay.
    Probe blocked[8], free;
    EnterCriticalSection(&lock);
    for (Probe& probe : blocked) {
        probe.lock = &lock;
        Arm(probe, 0);
    }
    for (Probe& probe : blocked) {
        EXPECT_TRUE(Signaled(probe.started));
    }
    Arm(free, 0);
    EXPECT_TRUE(Signaled(free.finished));
    LeaveCriticalSection(&lock);
    DeleteQueue();
}

// A timer that re-arms itself from its own callback, as a keepalive does.
struct Rearming {
    HANDLE queue;
    HANDLE timer = NULL;
    int runs = 0;
    std::vector<DWORD> deleteErrors;
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    ~Rearming() { CloseHandle(done); }
};

VOID CALLBACK RearmOwnTimer(PVOID parameter, BOOLEAN)
{
    Rearming* r = static_cast<Rearming*>(parameter);
    // Waiting for itself would never end: the waiting form answers like the other.
    HANDLE completion = r->runs % 2 == 0 ? NULL : INVALID_HANDLE_VALUE;
    SetLastError(0);
    BOOL deleted = DeleteTimerQueueTimer(r->queue, r->timer, completion);
    r->deleteErrors.push_back(deleted ? 0 : GetLastError());
    if (++r->runs == 4) {
        r->timer = NULL;
        SetEvent(r->done);
        return;
    }
    if (!CreateTimerQueueTimer(&r->timer, r->queue, RearmOwnTimer, r, 1, 0, WT_EXECUTELONGFUNCTION)) {
        SetEvent(r->done);
    }
}

TEST_F(TimerQueue, CallbackDeletesAndRecreatesItsOwnTimer)
{
    Rearming r;
    r.queue = queue;
    ASSERT_TRUE(CreateTimerQueueTimer(&r.timer, queue, RearmOwnTimer, &r, 0, 0, WT_EXECUTEDEFAULT));
    EXPECT_TRUE(Signaled(r.done));
    DeleteQueue();
    EXPECT_EQ(r.runs, 4);
    EXPECT_EQ(r.deleteErrors, std::vector<DWORD>(4, (DWORD)ERROR_IO_PENDING));
}

struct QueueFromCallback {
    HANDLE queue;
    BOOL deleted = TRUE;
    DWORD error = 0;
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    ~QueueFromCallback() { CloseHandle(done); }
};

VOID CALLBACK DeleteOwnQueue(PVOID parameter, BOOLEAN)
{
    QueueFromCallback* q = static_cast<QueueFromCallback*>(parameter);
    q->deleted = DeleteTimerQueueEx(q->queue, INVALID_HANDLE_VALUE);
    q->error = GetLastError();
    SetEvent(q->done);
}

TEST_F(TimerQueue, CallbackCannotWaitForItsOwnQueue)
{
    QueueFromCallback q;
    q.queue = queue;
    HANDLE timer;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, DeleteOwnQueue, &q, 0, 0, WT_EXECUTELONGFUNCTION));
    EXPECT_TRUE(Signaled(q.done));
    DeleteQueue();
    EXPECT_FALSE(q.deleted);
    EXPECT_EQ(q.error, (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(TimerQueue, ManyTimersRunOnceUnlessCancelled)
{
    constexpr int kTimers = 2000;
    std::vector<Probe> probes(kTimers);
    std::vector<HANDLE> timers(kTimers);
    std::vector<DWORD> deleteResult(kTimers, 1);
    std::mt19937 random(7);
    for (int i = 0; i < kTimers; i++) {
        timers[i] = Arm(probes[i], random() % 50);
    }
    // Delete every third timer, wherever it is: armed, due, running or finished.
    for (int i = 0; i < kTimers; i += 3) {
        SetLastError(0);
        deleteResult[i] = DeleteTimerQueueTimer(queue, timers[i], NULL) ? 0 : GetLastError();
    }
    for (int i = 0; i < kTimers; i++) {
        if (i % 3 != 0) {
            EXPECT_TRUE(Signaled(probes[i].finished)) << i;
        }
    }
    DeleteQueue();
    for (int i = 0; i < kTimers; i++) {
        if (i % 3 != 0) {
            EXPECT_EQ(probes[i].runs, 1) << i;
        } else if (deleteResult[i] == (DWORD)ERROR_IO_PENDING) {
            EXPECT_EQ(probes[i].runs, 1) << i;
        } else {
            // Deleted before its callback started, or after it finished.
            EXPECT_EQ(deleteResult[i], 0u) << i;
            EXPECT_LE(probes[i].runs, 1) << i;
        }
    }
}

VOID CALLBACK Nothing(PVOID, BOOLEAN) {}

TEST_F(TimerQueue, BadArgumentsAreRefused)
{
    HANDLE timer;
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, queue, Nothing, NULL, 10, 100, WT_EXECUTELONGFUNCTION));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, queue, Nothing, NULL, 10, 0, 0x8));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, NULL, Nothing, NULL, 10, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    HANDLE other = CreateTimerQueue();
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Nothing, NULL, 60000, 0, 0));
    EXPECT_FALSE(DeleteTimerQueueTimer(other, timer, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(timer));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, timer, event));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeleteTimerQueueEx(other, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(event);
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, NULL));
    EXPECT_TRUE(DeleteTimerQueueEx(other, INVALID_HANDLE_VALUE));
}

}  // namespace
