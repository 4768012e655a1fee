// Timer queues. Each queue has one dispatcher thread that keeps the armed
// timers in a min-heap of due times and sleeps until the earliest one (or
// without a time limit when none is armed), and a pool of worker threads that
// run the callbacks of the timers that came due, oldest first.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/posix/faults.h"
#include "platform/posix/handle.h"
#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

// Workers started as soon as a callback is due and no worker is free.
constexpr int kEagerWorkers = 4;
// Beyond those, one more worker each time due callbacks have waited this long
// for a free one: callbacks that block for long do not hold up the others.
constexpr auto kGrowthDelay = std::chrono::milliseconds(20);
constexpr int kMaxWorkers = 64;

enum class TimerState { Armed, Due, Running, Finished };

struct Queue;

struct Timer {
    DWORD kind;
    Queue* queue;
    WAITORTIMERCALLBACK callback;
    PVOID parameter;
    // Armed: when it fires. Due: since when it waits for a worker.
    Clock::time_point when;
    TimerState state;
    bool deleteWhenFinished;
    size_t heapIndex;
    Timer* dueNext;
    Timer* duePrev;
    Timer* next;
    Timer* prev;
};

// The due time is kept beside the timer in the heap, so that sifting compares
// within the array instead of visiting every timer on the way; four children
// per node halve the levels, and so the timers moved, at 100,000 timers.
constexpr size_t kHeapArity = 4;

struct HeapEntry {
    Clock::time_point when;
    uint64_t sequence;
    Timer* timer;
};

struct Queue {
    DWORD kind;
    std::mutex mutex;
    std::condition_variable dispatcherWake;
    std::condition_variable workAvailable;
    std::condition_variable callbackEnded;
    HeapEntry* heap;
    size_t heapSize;
    size_t heapCapacity;
    // Timers that came due, waiting for a worker, oldest first.
    Timer* dueHead;
    Timer* dueTail;
    size_t dueCount;
    // Every timer of the queue that is not yet freed.
    Timer* all;
    // The last timer freed, kept for the next one created: a timer re-armed by
    // deleting and creating it costs no allocation.
    Timer* spare;
    uint64_t nextSequence;
    pthread_t dispatcher;
    pthread_t workers[kMaxWorkers];
    int workerCount;
    int idleWorkers;
    Clock::time_point lastGrowth;
    bool deleting;
};

// The timer whose callback this thread runs, if any.
thread_local Timer* tlsRunningTimer = nullptr;

Queue* AsQueue(HANDLE h)
{
    return DvHandleKind(h) == DV_HANDLE_KIND_TIMER_QUEUE ? static_cast<Queue*>(h) : nullptr;
}

bool Earlier(const HeapEntry& a, const HeapEntry& b)
{
    return a.when < b.when || (a.when == b.when && a.sequence < b.sequence);
}

void HeapPlace(Queue* q, size_t index, const HeapEntry& entry)
{
    q->heap[index] = entry;
    entry.timer->heapIndex = index;
}

void SiftUp(Queue* q, size_t index)
{
    HeapEntry entry = q->heap[index];
    while (index > 0) {
        size_t parent = (index - 1) / kHeapArity;
        if (!Earlier(entry, q->heap[parent])) {
            break;
        }
        HeapPlace(q, index, q->heap[parent]);
        index = parent;
    }
    HeapPlace(q, index, entry);
}

void SiftDown(Queue* q, size_t index)
{
    HeapEntry entry = q->heap[index];
    for (;;) {
        size_t first = kHeapArity * index + 1;
        if (first >= q->heapSize) {
            break;
        }
        size_t end = first + kHeapArity < q->heapSize ? first + kHeapArity : q->heapSize;
        size_t child = first;
        for (size_t other = first + 1; other < end; other++) {
            if (Earlier(q->heap[other], q->heap[child])) {
                child = other;
            }
        }
        if (!Earlier(q->heap[child], entry)) {
            break;
        }
        HeapPlace(q, index, q->heap[child]);
        index = child;
    }
    HeapPlace(q, index, entry);
}

bool HeapPush(Queue* q, Timer* t)
{
    if (q->heapSize == q->heapCapacity) {
        size_t capacity = q->heapCapacity == 0 ? 64 : q->heapCapacity * 2;
        void* grown = realloc(q->heap, capacity * sizeof(HeapEntry));
        if (grown == nullptr) {
            return false;
        }
        q->heap = static_cast<HeapEntry*>(grown);
        q->heapCapacity = capacity;
    }
    HeapPlace(q, q->heapSize++, HeapEntry{t->when, q->nextSequence++, t});
    SiftUp(q, t->heapIndex);
    return true;
}

void HeapRemove(Queue* q, Timer* t)
{
    size_t index = t->heapIndex;
    HeapEntry last = q->heap[--q->heapSize];
    if (last.timer == t) {
        return;
    }
    HeapPlace(q, index, last);
    if (index > 0 && Earlier(last, q->heap[(index - 1) / kHeapArity])) {
        SiftUp(q, index);
    } else {
        SiftDown(q, index);
    }
}

void AppendDue(Queue* q, Timer* t)
{
    t->dueNext = nullptr;
    t->duePrev = q->dueTail;
    if (q->dueTail != nullptr) {
        q->dueTail->dueNext = t;
    } else {
        q->dueHead = t;
    }
    q->dueTail = t;
    q->dueCount++;
}

void RemoveDue(Queue* q, Timer* t)
{
    (t->duePrev != nullptr ? t->duePrev->dueNext : q->dueHead) = t->dueNext;
    (t->dueNext != nullptr ? t->dueNext->duePrev : q->dueTail) = t->duePrev;
    q->dueCount--;
}

void FreeTimer(Queue* q, Timer* t)
{
    (t->prev != nullptr ? t->prev->next : q->all) = t->next;
    if (t->next != nullptr) {
        t->next->prev = t->prev;
    }
    t->kind = 0;
    if (q->spare == nullptr) {
        q->spare = t;
    } else {
        delete t;
    }
}

void* WorkerMain(void* arg)
{
    Queue* q = static_cast<Queue*>(arg);
    std::unique_lock<std::mutex> hold(q->mutex);
    for (;;) {
        q->workAvailable.wait(hold, [q] { return q->dueHead != nullptr || q->deleting; });
        if (q->dueHead == nullptr) {
            break;
        }
        Timer* t = q->dueHead;
        RemoveDue(q, t);
        t->state = TimerState::Running;
        q->idleWorkers--;
        hold.unlock();

        tlsRunningTimer = t;
        t->callback(t->parameter, TRUE);
        tlsRunningTimer = nullptr;

        hold.lock();
        q->idleWorkers++;
        if (t->deleteWhenFinished) {
            FreeTimer(q, t);
        } else {
            t->state = TimerState::Finished;
        }
        q->callbackEnded.notify_all();
    }
    return nullptr;
}

// A new worker counts as free from the start: it looks for work before it waits.
bool StartWorker(Queue* q)
{
    if (pthread_create(&q->workers[q->workerCount], nullptr, WorkerMain, q) != 0) {
        return false;
    }
    q->workerCount++;
    q->idleWorkers++;
    return true;
}

// Starts workers for due callbacks that no free worker will take, and tells
// when to look again (Clock::time_point::max() when nothing waits).
Clock::time_point GrowPool(Queue* q, Clock::time_point now)
{
    while (q->dueCount > static_cast<size_t>(q->idleWorkers) && q->workerCount < kEagerWorkers) {
        if (!StartWorker(q)) {
            q->lastGrowth = now;
            break;
        }
    }
    if (q->dueCount <= static_cast<size_t>(q->idleWorkers) || q->workerCount == kMaxWorkers) {
        return Clock::time_point::max();
    }
    Clock::time_point waitingSince = q->dueHead->when > q->lastGrowth ? q->dueHead->when : q->lastGrowth;
    if (now - waitingSince < kGrowthDelay) {
        return waitingSince + kGrowthDelay;
    }
    StartWorker(q);
    q->lastGrowth = now;
    return now + kGrowthDelay;
}

void* DispatcherMain(void* arg)
{
    Queue* q = static_cast<Queue*>(arg);
    std::unique_lock<std::mutex> hold(q->mutex);
    while (!q->deleting) {
        Clock::time_point now = Clock::now();
        while (q->heapSize > 0 && q->heap[0].when <= now) {
            Timer* t = q->heap[0].timer;
            HeapRemove(q, t);
            t->state = TimerState::Due;
            t->when = now;
            AppendDue(q, t);
            q->workAvailable.notify_one();
        }
        Clock::time_point wake = GrowPool(q, now);
        if (q->heapSize > 0 && q->heap[0].when < wake) {
            wake = q->heap[0].when;
        }
        if (wake == Clock::time_point::max()) {
            q->dispatcherWake.wait(hold);
        } else {
            q->dispatcherWake.wait_until(hold, wake);
        }
    }
    return nullptr;
}

}  // namespace

HANDLE CreateTimerQueue(VOID)
{
    Queue* q = new (std::nothrow) Queue;
    if (q == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    q->kind = DV_HANDLE_KIND_TIMER_QUEUE;
    q->heap = nullptr;
    q->heapSize = 0;
    q->heapCapacity = 0;
    q->dueHead = nullptr;
    q->dueTail = nullptr;
    q->dueCount = 0;
    q->all = nullptr;
    q->spare = nullptr;
    q->nextSequence = 0;
    q->workerCount = 0;
    q->idleWorkers = 0;
    q->lastGrowth = Clock::time_point::min();
    q->deleting = false;
    int err = pthread_create(&q->dispatcher, nullptr, DispatcherMain, q);
    if (err != 0) {
        delete q;
        SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : DvWin32ErrorFromErrno(err));
        return NULL;
    }
    return q;
}

BOOL CreateTimerQueueTimer(PHANDLE phNewTimer, HANDLE TimerQueue, WAITORTIMERCALLBACK Callback, PVOID Parameter,
                           DWORD DueTime, DWORD Period, ULONG Flags)
{
    if (phNewTimer == NULL || Callback == NULL || Period != 0 || (Flags & ~WT_EXECUTELONGFUNCTION) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Queue* q = AsQueue(TimerQueue);
    if (q == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dvfaults::Check(dvfaults::kTimerCreate)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Clock::time_point when = Clock::now() + std::chrono::milliseconds(DueTime);

    std::lock_guard<std::mutex> hold(q->mutex);
    // A queue being deleted takes no new timers: they could never run.
    if (q->deleting) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Timer* t = q->spare;
    if (t != nullptr) {
        q->spare = nullptr;
    } else if ((t = new (std::nothrow) Timer) == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    t->kind = DV_HANDLE_KIND_TIMER;
    t->queue = q;
    t->callback = Callback;
    t->parameter = Parameter;
    t->when = when;
    t->state = TimerState::Armed;
    t->deleteWhenFinished = false;
    if (!HeapPush(q, t)) {
        t->kind = 0;
        delete t;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    t->prev = nullptr;
    t->next = q->all;
    if (q->all != nullptr) {
        q->all->prev = t;
    }
    q->all = t;
    // Stored under the queue's lock, so the callback sees the handle.
    *phNewTimer = t;
    if (t->heapIndex == 0) {
        q->dispatcherWake.notify_one();
    }
    return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE TimerQueue, HANDLE hTimer, HANDLE CompletionEvent)
{
    if (CompletionEvent != NULL && CompletionEvent != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Queue* q = AsQueue(TimerQueue);
    Timer* t = DvHandleKind(hTimer) == DV_HANDLE_KIND_TIMER ? static_cast<Timer*>(hTimer) : nullptr;
    if (q == nullptr || t == nullptr || t->queue != q) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::unique_lock<std::mutex> hold(q->mutex);
    if (t->deleteWhenFinished) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (t->state) {
    case TimerState::Armed:
        HeapRemove(q, t);
        break;
    case TimerState::Due:
        RemoveDue(q, t);
        break;
    case TimerState::Running:
        // A callback cannot wait for its own end: it gets the non-waiting answer.
        if (CompletionEvent == NULL || tlsRunningTimer == t) {
            t->deleteWhenFinished = true;
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        q->callbackEnded.wait(hold, [t] { return t->state != TimerState::Running; });
        break;
    case TimerState::Finished:
        break;
    }
    FreeTimer(q, t);
    return TRUE;
}

BOOL DeleteTimerQueueEx(HANDLE TimerQueue, HANDLE CompletionEvent)
{
    Queue* q = AsQueue(TimerQueue);
    if (q == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only the waiting form, and never from a callback of the queue: it would wait for itself.
    if (CompletionEvent != INVALID_HANDLE_VALUE || (tlsRunningTimer != nullptr && tlsRunningTimer->queue == q)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> hold(q->mutex);
        if (q->deleting) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        q->deleting = true;
        // Timers not yet started never run; they are freed with the queue.
        for (size_t i = 0; i < q->heapSize; i++) {
            q->heap[i].timer->state = TimerState::Finished;
        }
        q->heapSize = 0;
        for (Timer* t = q->dueHead; t != nullptr; t = t->dueNext) {
            t->state = TimerState::Finished;
        }
        q->dueHead = q->dueTail = nullptr;
        q->dueCount = 0;
    }
    q->dispatcherWake.notify_one();
    q->workAvailable.notify_all();
    // Running callbacks may still create (refused) and delete timers of the queue.
    pthread_join(q->dispatcher, nullptr);
    for (int i = 0; i < q->workerCount; i++) {
        pthread_join(q->workers[i], nullptr);
    }
    while (q->all != nullptr) {
        FreeTimer(q, q->all);
    }
    delete q->spare;
    free(q->heap);
    q->kind = 0;
    delete q;
    return TRUE;
}
