// The registry shared by several processes, and killed in the middle of writes.
#include <csignal>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/registry_stamp.h"
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

// Large enough that reading it takes several calls, with the same check as Blob.
std::vector<BYTE> BigBlob(DWORD round)
{
    size_t size = 4000 + (round % 256) * 16;
    return std::vector<BYTE>(size, static_cast<BYTE>(size % 251));
}

[[noreturn]] void RewriteBlobForever()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Rewritten", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        _exit(2);
    }
    for (DWORD round = 1;; ++round) {
        std::vector<BYTE> blob = BigBlob(round);
        if (RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), (DWORD)blob.size()) != ERROR_SUCCESS) _exit(3);
        usleep(100);
    }
}

// A reader in another process sees each value whole, before or after a change.
TEST(RegistryProcesses, AReaderNeverSeesAValueBeingRewritten)
{
    dvtest::StateDir state;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Rewritten", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::vector<BYTE> first = BigBlob(0);
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, first.data(), (DWORD)first.size()), ERROR_SUCCESS);
    pid_t writer = Spawn(RewriteBlobForever);
    ASSERT_GT(writer, 0);
    std::vector<BYTE> blob(BigBlob(255).size());
    for (int read = 0; read < 500 && !HasFailure(); ++read) {
        DWORD size = (DWORD)blob.size();
        ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, blob.data(), &size), ERROR_SUCCESS) << "read " << read;
        ASSERT_GE(size, 4000u);
        for (DWORD i = 0; i < size; ++i) ASSERT_EQ(blob[i], size % 251) << "read " << read;
    }
    ::kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own: " << status;
    RegCloseKey(key);
}

LSTATUS CreateKey(const char* path, DWORD* disposition)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                     disposition);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
}

[[noreturn]] void SwapSubkeys()
{
    DWORD disposition;
    if (CreateKey("Index\\Beta", &disposition) != ERROR_SUCCESS) _exit(2);
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Index\\Alpha") != ERROR_SUCCESS) _exit(3);
    _exit(0);
}

// Another process's changes of subkeys, even ones that leave their number as
// it was, are seen.
TEST(RegistryProcesses, SubkeysAnotherProcessMadeOrRemovedAreSeenInAnySpelling)
{
    dvtest::StateDir state;
    DWORD disposition = 0;
    ASSERT_EQ(CreateKey("Index\\Alpha", &disposition), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey("Index\\gamma", &disposition), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey("Index\\ALPHA", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);

    pid_t child = Spawn(SwapSubkeys);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    ASSERT_EQ(CreateKey("Index\\BETA", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(CreateKey("Index\\alpha", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Index\\GAMMA"), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey("Index\\Gamma", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);

    std::vector<std::string> names;
    HKEY index;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Index", 0, KEY_READ, &index), ERROR_SUCCESS);
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(index, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    RegCloseKey(index);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "Gamma"}));
}

LSTATUS SetNumber(const char* path, DWORD number)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
    return status;
}

// A stamp taken right after a call, while the database is surely held.
dvreg::SubtreeStamp StampAfterACall(const char* path)
{
    DWORD disposition;
    EXPECT_EQ(CreateKey("Elsewhere", &disposition), ERROR_SUCCESS);
    return dvreg::StampOfSubtree(path);
}

[[noreturn]] void ChangeWatched() { _exit(SetNumber("Watched\\Source", 7) == ERROR_SUCCESS ? 0 : 2); }

// What a process keeps of a subtree stays true while its stamp does: changes
// elsewhere leave it, every change at or below its key, by this process or
// another, changes it.
TEST(RegistryProcesses, ASubtreeStampChangesWithEveryChangeAtOrBelowItsKeyAndNoOther)
{
    dvtest::StateDir state;
    const char kWatched[] = "Watched\\Source";
    ASSERT_EQ(SetNumber("Watched", 1), ERROR_SUCCESS);
    EXPECT_FALSE(StampAfterACall(kWatched).Known());
    dvreg::SubtreeStamp before = StampAfterACall("WATCHED\\source");
    ASSERT_TRUE(before.Known());

    ASSERT_EQ(SetNumber("Elsewhere\\Below", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetNumber("Watched\\SourceOther", 1), ERROR_SUCCESS);
    dvreg::SubtreeStamp after = StampAfterACall(kWatched);
    EXPECT_EQ(after, before);

    // Made, then changed, then a key below it.
    for (const char* path : {kWatched, kWatched, "Watched\\Source\\Below"}) {
        ASSERT_EQ(SetNumber(path, 2), ERROR_SUCCESS);
        after = StampAfterACall(kWatched);
        EXPECT_NE(after, before) << path;
        before = after;
    }
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Watched\\Source\\Below"), ERROR_SUCCESS);
    after = StampAfterACall(kWatched);
    EXPECT_NE(after, before);
    before = after;

    pid_t child = Spawn(ChangeWatched);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(StampAfterACall(kWatched), before);
}

const int kFlushedKeys = 4;

// Round r's value of a key: r in every one of its 1 + r % 50 words, so that
// a torn or mixed value shows.
std::vector<DWORD> RoundBlob(DWORD round) { return std::vector<DWORD>(1 + round % 50, round); }

// Per round: every key's "Round", then "Blob", then "Done", then one flush,
// whose round goes to the parent through the pipe once it has returned.
[[noreturn]] void WriteAndFlushForever(int pipeFd)
{
    HKEY keys[kFlushedKeys];
    for (int k = 0; k < kFlushedKeys; ++k) {
        std::string path = "Flushed\\Key" + std::to_string(k);
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &keys[k],
                            nullptr) != ERROR_SUCCESS)
            _exit(2);
    }
    for (DWORD round = 1;; ++round) {
        std::vector<DWORD> blob = RoundBlob(round);
        for (HKEY key : keys) {
            if (RegSetValueExA(key, "Round", 0, REG_DWORD, (const BYTE*)&round, 4) != ERROR_SUCCESS ||
                RegSetValueExA(key, "Blob", 0, REG_BINARY, (const BYTE*)blob.data(), (DWORD)(blob.size() * 4)) !=
                    ERROR_SUCCESS ||
                RegSetValueExA(key, "Done", 0, REG_DWORD, (const BYTE*)&round, 4) != ERROR_SUCCESS)
                _exit(3);
        }
        if (RegFlushKey(keys[0]) != ERROR_SUCCESS || write(pipeFd, &round, sizeof round) != sizeof round) _exit(4);
    }
}

// The rounds of one key's three values, 0 where a value is missing.
struct KeyRounds {
    DWORD round = 0;
    DWORD blob = 0;
    DWORD done = 0;
};

KeyRounds ReadRounds(int k)
{
    KeyRounds rounds;
    HKEY key;
    std::string path = "Flushed\\Key" + std::to_string(k);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return rounds;
    DWORD size = 4;
    RegQueryValueExA(key, "Round", nullptr, nullptr, (BYTE*)&rounds.round, &size);
    size = 4;
    RegQueryValueExA(key, "Done", nullptr, nullptr, (BYTE*)&rounds.done, &size);
    std::vector<DWORD> blob(64);
    size = (DWORD)(blob.size() * 4);
    if (RegQueryValueExA(key, "Blob", nullptr, nullptr, (BYTE*)blob.data(), &size) == ERROR_SUCCESS) {
        blob.resize(size / 4);
        EXPECT_EQ(size % 4, 0u);
        EXPECT_FALSE(blob.empty());
        if (!blob.empty()) rounds.blob = blob[0];
        EXPECT_EQ(blob, RoundBlob(rounds.blob)) << "torn blob in key " << k;
    }
    RegCloseKey(key);
    return rounds;
}

// A kill at a random moment leaves the registry as the writer's calls left it
// up to one of them: every value whole, the keys' values in the order they
// were written, and nothing a returned flush covered lost.
TEST(RegistryProcesses, AKilledWriterLeavesThePrefixOfItsChangesAndLosesNothingFlushed)
{
    std::mt19937 random(std::random_device{}());
    for (int kill = 0; kill < 12 && !HasFailure(); ++kill) {
        dvtest::StateDir state;
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t writer = fork();
        if (writer == 0) {
            close(fds[0]);
            WriteAndFlushForever(fds[1]);
        }
        ASSERT_GT(writer, 0);
        close(fds[1]);
        usleep(std::uniform_int_distribution<useconds_t>(1000, 40000)(random));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own: " << status;
        DWORD flushed = 0;
        DWORD round;
        while (read(fds[0], &round, sizeof round) == sizeof round) flushed = round;
        close(fds[0]);

        // Written key by key, value by value: the keys from the first are one
        // step further along than those after, at one point only.
        std::vector<DWORD> steps;
        for (int k = 0; k < kFlushedKeys; ++k) {
            KeyRounds r = ReadRounds(k);
            EXPECT_GE(r.done, flushed) << "key " << k;
            EXPECT_TRUE(r.done <= r.blob && r.blob <= r.round && r.round <= r.done + 1)
                << "key " << k << ": " << r.round << " " << r.blob << " " << r.done;
            steps.push_back(r.round + r.blob + r.done);
        }
        for (int k = 1; k < kFlushedKeys; ++k) {
            EXPECT_LE(steps[k], steps[k - 1]);
            EXPECT_LE(steps[0] - steps[k], 3u);
        }
    }
}

}  // namespace
