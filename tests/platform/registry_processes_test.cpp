// The registry shared by several processes, and killed in the middle of writes.
#include <csignal>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

const int kKeys = 3;

std::string KeyPath(int k) { return "Crash\\Key" + std::to_string(k); }

// A blob whose every byte repeats its length, so a torn value shows.
std::vector<BYTE> Blob(DWORD round) { return std::vector<BYTE>(1 + round % 97, static_cast<BYTE>(1 + round % 97)); }

[[noreturn]] void WriteForever()
{
    for (DWORD round = 1;; ++round) {
        for (int k = 0; k < kKeys; ++k) {
            HKEY key;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(k).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) != ERROR_SUCCESS) {
                _exit(2);
            }
            std::vector<BYTE> blob = Blob(round);
            RegSetValueExA(key, "Round", 0, REG_DWORD, (const BYTE*)&round, 4);
            RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), (DWORD)blob.size());
            HKEY scratch;
            if (RegCreateKeyExA(key, "Scratch", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch, nullptr) ==
                ERROR_SUCCESS) {
                RegSetValueExA(scratch, "Round", 0, REG_DWORD, (const BYTE*)&round, 4);
                RegCloseKey(scratch);
            }
            RegDeleteKeyA(key, "Scratch");
            RegCloseKey(key);
        }
    }
}

void ExpectConsistent(int k)
{
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(k).c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    DWORD round = 0;
    DWORD size = 4;
    ASSERT_EQ(RegQueryValueExA(key, "Round", nullptr, nullptr, (BYTE*)&round, &size), ERROR_SUCCESS);
    BYTE blob[128];
    size = sizeof blob;
    ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, blob, &size), ERROR_SUCCESS);
    ASSERT_GE(size, 1u);
    for (DWORD i = 0; i < size; ++i) ASSERT_EQ(blob[i], size);
    // A scratch key left by the kill is a whole key that can be read and deleted.
    HKEY scratch;
    if (RegOpenKeyExA(key, "Scratch", 0, KEY_QUERY_VALUE, &scratch) == ERROR_SUCCESS) {
        DWORD ignored;
        size = 4;
        LSTATUS status = RegQueryValueExA(scratch, "Round", nullptr, nullptr, (BYTE*)&ignored, &size);
        EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
        RegCloseKey(scratch);
        EXPECT_EQ(RegDeleteKeyA(key, "Scratch"), ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

pid_t Spawn(void (*body)())
{
    pid_t pid = fork();
    if (pid == 0) body();
    return pid;
}

TEST(RegistryProcesses, AKilledWriterLeavesEveryKeyWithItsOldOrNewValues)
{
    dvtest::StateDir state;
    std::mt19937 random(std::random_device{}());
    for (int kill = 0; kill < 12; ++kill) {
        pid_t writer = Spawn(WriteForever);
        ASSERT_GT(writer, 0);
        usleep(std::uniform_int_distribution<useconds_t>(500, 20000)(random));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own: " << status;
        // Before the first full round a key may not exist yet.
        for (int k = 0; k < kKeys; ++k) {
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(k).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
                continue;
            }
            DWORD size = 0;
            bool complete = RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
            RegCloseKey(key);
            if (complete) ExpectConsistent(k);
        }
    }
}

const int kValuesPerWriter = 60;

template <char Prefix>
[[noreturn]] void WriteOwnValues()
{
    for (DWORD i = 0; i < kValuesPerWriter; ++i) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Shared", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            _exit(2);
        }
        std::string name = Prefix + std::to_string(i);
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, (const BYTE*)&i, 4) != ERROR_SUCCESS) _exit(3);
        RegCloseKey(key);
    }
    _exit(0);
}

TEST(RegistryProcesses, TwoWritersOfOneKeyLoseNoValue)
{
    dvtest::StateDir state;
    pid_t first = Spawn(WriteOwnValues<'A'>);
    pid_t second = Spawn(WriteOwnValues<'B'>);
    for (pid_t pid : {first, second}) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Shared", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    for (char prefix : {'A', 'B'}) {
        for (DWORD i = 0; i < kValuesPerWriter; ++i) {
            std::string name = prefix + std::to_string(i);
            DWORD value = ~0u;
            DWORD size = 4;
            EXPECT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr, (BYTE*)&value, &size), ERROR_SUCCESS)
                << name;
            EXPECT_EQ(value, i);
        }
    }
    RegCloseKey(key);
}

}  // namespace
