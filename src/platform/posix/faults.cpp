#include "platform/posix/faults.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

#include "platform/posix/state_dir.h"

namespace dvfaults {
namespace {

struct Rule {
    unsigned long first = 0;  // 0: the point never fails
    bool onwards = false;
    bool holdWhileFileExists = false;
    unsigned long calls = 0;
    unsigned long injected = 0;
};

struct PointInfo {
    const char* name;
    int error;
};

const PointInfo kPoints[kPointCount] = {
    {"reg_write", ENOSPC}, {"reg_flush", EIO}, {"reg_delete", EIO}, {"timer_create", ENOMEM}, {"select", ENOMEM}};

// How often a call held by a file looks whether the file is still there.
constexpr std::chrono::milliseconds kHoldPoll(5);

std::mutex gLock;
std::condition_variable gReleased;
Rule gRules[kPointCount];
bool gHeld[kPointCount];
unsigned long gWaiting[kPointCount];
bool gLoaded = false;
// Set once loaded while no point can fail or wait: the calls then pass
// without the lock (CreateTimerQueueTimer is on every keepalive's path).
std::atomic<bool> gInert{false};

// Under gLock.
void UpdateInert()
{
    bool inert = gLoaded;
    for (int i = 0; i < kPointCount; ++i)
        inert = inert && gRules[i].first == 0 && !gRules[i].holdWhileFileExists && !gHeld[i];
    gInert.store(inert, std::memory_order_release);
}

bool Parse(const char* text, Rule rules[kPointCount])
{
    std::string rest = text ? text : "";
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        size_t colon = item.find(':');
        if (colon == std::string::npos) return false;
        int point = 0;
        while (point < kPointCount && item.compare(0, colon, kPoints[point].name) != 0) ++point;
        if (point == kPointCount || colon != strlen(kPoints[point].name)) return false;
        const char* number = item.c_str() + colon + 1;
        if (strcmp(number, "hold") == 0) {
            rules[point].holdWhileFileExists = true;
            continue;
        }
        char* end = nullptr;
        errno = 0;
        unsigned long first = strtoul(number, &end, 10);
        if (errno || end == number || first == 0 || *number == '-') return false;
        bool onwards = *end == '+';
        if (onwards) ++end;
        if (*end) return false;
        rules[point].first = first;
        rules[point].onwards = onwards;
    }
    return true;
}

// Under gLock.
bool Replace(const char* text)
{
    Rule parsed[kPointCount];
    bool ok = Parse(text, parsed);
    for (int i = 0; i < kPointCount; ++i) {
        unsigned long injected = gRules[i].injected;
        gRules[i] = ok ? parsed[i] : Rule();
        gRules[i].injected = injected;
        gHeld[i] = false;
    }
    gLoaded = true;
    UpdateInert();
    gReleased.notify_all();
    return ok;
}

void LoadFromEnvironment()
{
    if (gLoaded) return;
    const char* text = getenv("DORVANE_FAULTS");
    if (!Replace(text)) fprintf(stderr, "DORVANE_FAULTS: cannot parse \"%s\"; no fault injected\n", text);
}

// Under gLock.
bool Held(Point point)
{
    if (gHeld[point]) return true;
    if (!gRules[point].holdWhileFileExists) return false;
    std::string file = dvstate::StateDir() + "/hold." + kPoints[point].name;
    return access(file.c_str(), F_OK) == 0;
}

}  // namespace

int Check(Point point)
{
    if (gInert.load(std::memory_order_acquire)) return 0;
    std::unique_lock<std::mutex> hold(gLock);
    LoadFromEnvironment();
    while (Held(point)) {
        ++gWaiting[point];
        gReleased.wait_for(hold, kHoldPoll);
        --gWaiting[point];
    }
    Rule& rule = gRules[point];
    if (rule.first == 0) return 0;
    ++rule.calls;
    bool fails = rule.onwards ? rule.calls >= rule.first : rule.calls == rule.first;
    if (!fails) return 0;
    ++rule.injected;
    return kPoints[point].error;
}

bool Set(const char* text)
{
    std::lock_guard<std::mutex> hold(gLock);
    return Replace(text);
}

unsigned long Injected(Point point)
{
    std::lock_guard<std::mutex> hold(gLock);
    return gRules[point].injected;
}

void Hold(Point point)
{
    std::lock_guard<std::mutex> hold(gLock);
    LoadFromEnvironment();
    gHeld[point] = true;
    UpdateInert();
}

void Release(Point point)
{
    std::lock_guard<std::mutex> hold(gLock);
    gHeld[point] = false;
    UpdateInert();
    gReleased.notify_all();
}

unsigned long Waiting(Point point)
{
    std::lock_guard<std::mutex> hold(gLock);
    return gWaiting[point];
}

}  // namespace dvfaults
