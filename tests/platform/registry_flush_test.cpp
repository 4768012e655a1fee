// What creating and flushing a registry key make durable, and how keys are found.
#include <dlfcn.h>
#include <limits.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

// Every path this process syncs while recording is on.
std::mutex recordLock;
bool recording = false;
std::vector<std::string> synced;

}  // namespace

extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    char path[PATH_MAX] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), path, sizeof(path) - 1) > 0) {
        std::lock_guard<std::mutex> hold(recordLock);
        if (recording) synced.push_back(path);
    }
    return real(fd);
}

namespace {

HKEY Create(const char* path)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS)
        << path;
    return key;
}

std::vector<std::string> Record(bool on)
{
    std::lock_guard<std::mutex> hold(recordLock);
    recording = on;
    std::vector<std::string> seen = synced;
    synced.clear();
    return seen;
}

bool Synced(const std::vector<std::string>& seen, const std::string& path)
{
    for (const std::string& s : seen) {
        if (s == path) return true;
    }
    return false;
}

TEST(RegistryFlush, ANewKeysEntryIsDurableAtOnceAndItsValuesAtItsFlush)
{
    dvtest::StateDir state;
    std::string root = state.path() + "/registry";
    HKEY top = Create("Top");
    ASSERT_EQ(RegCloseKey(top), ERROR_SUCCESS);
    Record(true);
    // Creating the key makes its entry durable at once.
    HKEY key = Create("Top\\Leaf");
    EXPECT_TRUE(Synced(Record(true), root + "/Top"));
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    // The key's first values are not synced before its flush.
    EXPECT_TRUE(Record(true).empty());

    ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    std::vector<std::string> seen = Record(false);
    EXPECT_TRUE(Synced(seen, root + "/Top/Leaf/.values.reg"));
    EXPECT_TRUE(Synced(seen, root + "/Top/Leaf"));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryFlush, KeysAreFoundInAnySpellingButNeverThroughALink)
{
    dvtest::StateDir state;
    HKEY key = Create("Links\\Real");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY other = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "LINKS\\real", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);

    std::string links = state.path() + "/registry/Links";
    ASSERT_EQ(symlink((links + "/Real").c_str(), (links + "/Alias").c_str()), 0);
    HKEY alias = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Links\\Alias", 0, KEY_READ, &alias), ERROR_SUCCESS);
    ASSERT_EQ(symlink(links.c_str(), (state.path() + "/registry/Shortcut").c_str()), 0);
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Shortcut\\Real", 0, KEY_READ, &alias), ERROR_SUCCESS);
}

}  // namespace
