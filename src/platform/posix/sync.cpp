// Critical sections, events and threads over pthreads.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/posix/handle.h"
#include "platform/win32.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "critical section storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "critical section storage misaligned");

namespace {

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }

struct Event {
    DWORD kind;
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset;
    bool signaled;
};

// Shared by the handle and the running thread; the last of the two frees it.
struct Thread {
    DWORD kind;
    std::mutex mutex;
    std::condition_variable changed;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    DWORD id;
    bool ended;
    DWORD exitCode;
    int references;
};

Event* AsEvent(HANDLE h)
{
    return DvHandleKind(h) == DV_HANDLE_KIND_EVENT ? static_cast<Event*>(h) : nullptr;
}

Thread* AsThread(HANDLE h)
{
    return DvHandleKind(h) == DV_HANDLE_KIND_THREAD ? static_cast<Thread*>(h) : nullptr;
}

void ReleaseThread(Thread* thread)
{
    bool last;
    {
        std::lock_guard<std::mutex> hold(thread->mutex);
        last = --thread->references == 0;
    }
    if (last) {
        thread->kind = 0;
        delete thread;
    }
}

void* ThreadMain(void* arg)
{
    Thread* thread = static_cast<Thread*>(arg);
    {
        std::lock_guard<std::mutex> hold(thread->mutex);
        thread->id = GetCurrentThreadId();
    }
    thread->changed.notify_all();
    DWORD exitCode = thread->start(thread->parameter);
    {
        std::lock_guard<std::mutex> hold(thread->mutex);
        thread->ended = true;
        thread->exitCode = exitCode;
    }
    thread->changed.notify_all();
    ReleaseThread(thread);
    return nullptr;
}

// Waits until done() holds, for at most the given time; INFINITE waits for ever.
template <typename Done>
DWORD WaitUntil(std::mutex& mutex, std::condition_variable& changed, DWORD milliseconds, Done done)
{
    std::unique_lock<std::mutex> hold(mutex);
    if (milliseconds == INFINITE) {
        changed.wait(hold, done);
        return WAIT_OBJECT_0;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return changed.wait_until(hold, deadline, done) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(lpCriticalSection), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { pthread_mutex_lock(MutexOf(lpCriticalSection)); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return pthread_mutex_trylock(MutexOf(lpCriticalSection)) == 0;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { pthread_mutex_unlock(MutexOf(lpCriticalSection)); }

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { pthread_mutex_destroy(MutexOf(lpCriticalSection)); }

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpName != NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return NULL;
    }
    Event* event = new (std::nothrow) Event;
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    event->kind = DV_HANDLE_KIND_EVENT;
    event->manualReset = bManualReset != FALSE;
    event->signaled = bInitialState != FALSE;
    return event;
}

BOOL SetEvent(HANDLE hEvent)
{
    Event* event = AsEvent(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Notified under the lock, so that a released waiter may close the event at once.
    std::lock_guard<std::mutex> hold(event->mutex);
    event->signaled = true;
    // An auto-reset event releases one waiter, which resets it.
    if (event->manualReset) {
        event->changed.notify_all();
    } else {
        event->changed.notify_one();
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    Event* event = AsEvent(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(event->mutex);
    event->signaled = false;
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (lpStartAddress == NULL || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    Thread* thread = new (std::nothrow) Thread;
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    thread->kind = DV_HANDLE_KIND_THREAD;
    thread->start = lpStartAddress;
    thread->parameter = lpParameter;
    thread->id = 0;
    thread->ended = false;
    thread->exitCode = STILL_ACTIVE;
    thread->references = 2;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) {
        SIZE_T minimum = PTHREAD_STACK_MIN;
        pthread_attr_setstacksize(&attributes, dwStackSize < minimum ? minimum : dwStackSize);
    }
    pthread_t id;
    int err = pthread_create(&id, &attributes, ThreadMain, thread);
    pthread_attr_destroy(&attributes);
    if (err != 0) {
        delete thread;
        SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : DvWin32ErrorFromErrno(err));
        return NULL;
    }
    if (lpThreadId != NULL) {
        std::unique_lock<std::mutex> hold(thread->mutex);
        thread->changed.wait(hold, [thread] { return thread->id != 0; });
        *lpThreadId = thread->id;
    }
    return thread;
}

DWORD GetCurrentThreadId(void)
{
    thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    Thread* thread = AsThread(hThread);
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(thread->mutex);
    *lpExitCode = thread->exitCode;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (Event* event = AsEvent(hHandle)) {
        // The waiter that sees an auto-reset event signaled resets it in the same hold.
        return WaitUntil(event->mutex, event->changed, dwMilliseconds, [event] {
            if (!event->signaled) {
                return false;
            }
            event->signaled = event->manualReset;
            return true;
        });
    }
    if (Thread* thread = AsThread(hHandle)) {
        return WaitUntil(thread->mutex, thread->changed, dwMilliseconds, [thread] { return thread->ended; });
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE hObject)
{
    if (Event* event = AsEvent(hObject)) {
        event->kind = 0;
        delete event;
        return TRUE;
    }
    if (Thread* thread = AsThread(hObject)) {
        ReleaseThread(thread);
        return TRUE;
    }
    if (DvHandleKind(hObject) == DV_HANDLE_KIND_TOOLHELP_SNAPSHOT) {
        return DvToolhelpCloseSnapshot(hObject);
    }
    if (DvHandleKind(hObject) == DV_HANDLE_KIND_TRANSACTION) {
        return DvRegistryCloseTransaction(hObject);
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
