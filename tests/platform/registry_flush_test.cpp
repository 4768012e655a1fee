// What a flush syncs, and that its sync holds no writer up.
#include <condition_variable>
#include <dlfcn.h>
#include <limits.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

// Every path this process syncs while recording is on; a sync of the log
// waits while holdSyncs is set.
std::mutex recordLock;
std::condition_variable changed;
bool recording = false;
bool holdSyncs = false;
bool syncHeld = false;
std::vector<std::string> synced;

void Record(int fd)
{
    char path[PATH_MAX] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), path, sizeof(path) - 1) <= 0) return;
    std::unique_lock<std::mutex> hold(recordLock);
    if (recording) synced.push_back(path);
    if (holdSyncs) {
        syncHeld = true;
        changed.notify_all();
        changed.wait(hold, [] { return !holdSyncs; });
    }
}

}  // namespace

extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    Record(fd);
    return real(fd);
}

extern "C" int fdatasync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    Record(fd);
    return real(fd);
}

namespace {

HKEY Create(const std::string& path)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    return key;
}

LSTATUS SetDword(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::vector<std::string> Record(bool on)
{
    std::lock_guard<std::mutex> hold(recordLock);
    recording = on;
    std::vector<std::string> seen = synced;
    synced.clear();
    return seen;
}

TEST(RegistryFlush, ChangesSyncNothingAndOneFlushSyncsTheLogOnceForEveryKey)
{
    dvtest::StateDir state;
    const std::string log = state.file("registry.db-wal");
    HKEY parent = Create("States");
    ASSERT_EQ(RegFlushKey(parent), ERROR_SUCCESS);
    for (int round = 0; round < 2; ++round) {
        Record(true);
        for (int k = 0; k < 20; ++k) {
            HKEY key = Create("States\\Key" + std::to_string(k) + "." + std::to_string(round));
            EXPECT_EQ(SetDword(key, "Round", round), ERROR_SUCCESS);
            EXPECT_EQ(RegDeleteValueA(key, "Round"), ERROR_SUCCESS);
            EXPECT_EQ(SetDword(key, "Round", round), ERROR_SUCCESS);
            RegCloseKey(key);
        }
        EXPECT_EQ(RegDeleteKeyA(parent, ("Key0." + std::to_string(round)).c_str()), ERROR_SUCCESS);
        EXPECT_EQ(Record(true), std::vector<std::string>{});
        // Flushing the parent covers every subkey, and whatever other key changed.
        ASSERT_EQ(RegFlushKey(parent), ERROR_SUCCESS);
        EXPECT_EQ(Record(false), std::vector<std::string>{log});
    }
    RegCloseKey(parent);
}

TEST(RegistryFlush, WritersGoOnWhileAFlushSyncs)
{
    dvtest::StateDir state;
    HKEY flushed = Create("Flushed");
    HKEY other = Create("Other");
    ASSERT_EQ(SetDword(flushed, "Value", 1), ERROR_SUCCESS);
    {
        std::lock_guard<std::mutex> hold(recordLock);
        holdSyncs = true;
    }
    std::thread flusher([&] { EXPECT_EQ(RegFlushKey(flushed), ERROR_SUCCESS); });
    {
        std::unique_lock<std::mutex> hold(recordLock);
        changed.wait(hold, [] { return syncHeld; });
    }
    // The flush is inside its sync: another key is written and read meanwhile.
    EXPECT_EQ(SetDword(other, "Value", 2), ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(other, "Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    {
        std::lock_guard<std::mutex> hold(recordLock);
        holdSyncs = false;
        syncHeld = false;
    }
    changed.notify_all();
    flusher.join();
    RegCloseKey(flushed);
    RegCloseKey(other);
}

}  // namespace
