#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

// Every entry of a fresh snapshot, walked to its end.
template <typename Entry>
std::vector<Entry> Entries(DWORD flags, DWORD processId, BOOL (*first)(HANDLE, Entry*), BOOL (*next)(HANDLE, Entry*))
{
    std::vector<Entry> list;
    HANDLE snapshot = CreateToolhelp32Snapshot(flags, processId);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    Entry entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry))
        list.push_back(entry);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(CloseHandle(snapshot));
    return list;
}

std::vector<PROCESSENTRY32> Processes() { return Entries(TH32CS_SNAPPROCESS, 0, Process32First, Process32Next); }

std::vector<MODULEENTRY32W> Modules(DWORD processId)
{
    return Entries(TH32CS_SNAPMODULE, processId, Module32FirstW, Module32NextW);
}

std::u16string Wide(const WCHAR* text) { return std::u16string(text); }

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

const MODULEENTRY32W* FindModule(const std::vector<MODULEENTRY32W>& modules, const std::string& asciiPath)
{
    for (const MODULEENTRY32W& module : modules) {
        if (Wide(module.szExePath) == Widen(asciiPath))
            return &module;
    }
    return nullptr;
}

// A child that lives until the returned descriptor is closed.
pid_t StartWaitingChild(int& release)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        close(fds[1]);
        char byte;
        _exit(read(fds[0], &byte, 1) == 0 ? 0 : 1);
    }
    close(fds[0]);
    release = fds[1];
    return child;
}

void EndChild(pid_t child, int release)
{
    close(release);
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

TEST(Toolhelp, ProcessSnapshotListsThisProcessAndItsChild)
{
    int release = -1;
    pid_t child = StartWaitingChild(release);
    std::vector<PROCESSENTRY32> processes = Processes();
    EndChild(child, release);

    bool sawSelf = false;
    bool sawChild = false;
    for (const PROCESSENTRY32& process : processes) {
        if (process.th32ProcessID == (DWORD)getpid()) {
            sawSelf = true;
            EXPECT_EQ(process.th32ParentProcessID, (DWORD)getppid());
            EXPECT_GE(process.cntThreads, 1u);
            std::string exe = std::filesystem::read_symlink("/proc/self/exe").filename().string();
            EXPECT_EQ(std::string(process.szExeFile), exe);
        }
        if (process.th32ProcessID == (DWORD)child) {
            sawChild = true;
            EXPECT_EQ(process.th32ParentProcessID, (DWORD)getpid());
        }
    }
    EXPECT_TRUE(sawSelf);
    EXPECT_TRUE(sawChild);
}

TEST(Toolhelp, WalkingRestartsAtFirstAndChecksEntrySize)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry - 1;
    EXPECT_FALSE(Process32First(snapshot, &entry));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);

    entry.dwSize = sizeof entry;
    ASSERT_TRUE(Process32First(snapshot, &entry));
    DWORD first = entry.th32ProcessID;
    while (Process32Next(snapshot, &entry)) {
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    ASSERT_TRUE(Process32First(snapshot, &entry));
    EXPECT_EQ(entry.th32ProcessID, first);
    EXPECT_EQ(entry.dwSize, (DWORD)sizeof entry);

    // A process snapshot holds no modules.
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    EXPECT_FALSE(Module32FirstW(snapshot, &module));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(CloseHandle(snapshot));
}

TEST(Toolhelp, BadHandlesAndFlagsAreRefused)
{
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    EXPECT_FALSE(Process32First(INVALID_HANDLE_VALUE, &entry));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Process32Next(nullptr, &entry));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    EXPECT_EQ(CreateToolhelp32Snapshot(0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateToolhelp32Snapshot(0x4 /* threads */, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Toolhelp, ModulesOfThisProcessAreItsExecutableFilesInAddressOrder)
{
    std::string exe = std::filesystem::canonical("/proc/self/exe").string();
    std::vector<MODULEENTRY32W> current = Modules(0);
    std::vector<MODULEENTRY32W> byId = Modules((DWORD)getpid());
    ASSERT_FALSE(current.empty());
    ASSERT_EQ(current.size(), byId.size());

    const MODULEENTRY32W* program = FindModule(current, exe);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(Wide(program->szModule), Widen(std::filesystem::path(exe).filename().string()));
    auto code = reinterpret_cast<uintptr_t>(&Modules);
    auto base = reinterpret_cast<uintptr_t>(program->modBaseAddr);
    EXPECT_GE(code, base);
    EXPECT_LT(code, base + program->modBaseSize);

    for (size_t i = 0; i < current.size(); ++i) {
        EXPECT_EQ(current[i].th32ProcessID, (DWORD)getpid());
        EXPECT_EQ(Wide(current[i].szExePath), Wide(byId[i].szExePath));
        EXPECT_EQ(current[i].szExePath[0], u'/');
        if (i > 0) {
            EXPECT_LT(current[i - 1].modBaseAddr, current[i].modBaseAddr);
        }
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(Wide(current[i].szExePath), Wide(current[j].szExePath));
    }
}

TEST(Toolhelp, ModuleSnapshotOfAMissingProcessFails)
{
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    int status = 0;
    waitpid(gone, &status, 0);
    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, (DWORD)gone), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// Maps files of the test's own making to see which mappings make modules.
class ToolhelpMappedFiles : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto [address, size] : mappings_)
            munmap(address, size);
    }

    std::string MakeFile(const std::string& path)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << std::string(2 * 4096, 'k');
        return path;
    }

    // False when the folder does not allow executable mappings.
    bool Map(const std::string& path, int protection, off_t offset = 0)
    {
        int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        void* address = mmap(nullptr, 4096, protection, MAP_PRIVATE, fd, offset);
        close(fd);
        if (address == MAP_FAILED)
            return false;
        mappings_.emplace_back(address, 4096);
        return true;
    }

    dvtest::TempDir dir_;
    std::vector<std::pair<void*, size_t>> mappings_;
};

TEST_F(ToolhelpMappedFiles, OnlyExecutableFilesCountOncePerPath)
{
    std::string twice = MakeFile(dir_.file("twice.bin"));
    std::string readOnly = MakeFile(dir_.file("data.bin"));
    std::string deleted = MakeFile(dir_.file("deleted.bin"));
    if (!Map(twice, PROT_READ | PROT_EXEC))
        GTEST_SKIP() << "the temporary folder forbids executable mappings";
    ASSERT_TRUE(Map(twice, PROT_READ | PROT_EXEC, 4096));
    ASSERT_TRUE(Map(readOnly, PROT_READ));
    ASSERT_TRUE(Map(deleted, PROT_READ | PROT_EXEC));
    std::filesystem::remove(deleted);

    std::vector<MODULEENTRY32W> modules = Modules(0);
    int seen = 0;
    for (const MODULEENTRY32W& module : modules)
        seen += Wide(module.szExePath) == Widen(twice);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(FindModule(modules, readOnly), nullptr);
    EXPECT_EQ(FindModule(modules, deleted), nullptr);
    EXPECT_EQ(FindModule(modules, deleted + " (deleted)"), nullptr);
}

TEST_F(ToolhelpMappedFiles, PathsAreUtf16AndTooLongPathsAreLeftOut)
{
    std::string accented = MakeFile(dir_.file("caf\xC3\xA9-\xF0\x9F\x98\x80.bin"));
    std::string folder = dir_.path();
    while (folder.size() < MAX_PATH)
        folder += "/" + std::string(40, 'd');
    std::string tooLong = MakeFile(folder + "/long.bin");
    std::string justFits = MakeFile(dir_.path() + "/" + std::string(MAX_PATH - 2 - dir_.path().size(), 'f'));
    ASSERT_EQ(justFits.size(), (size_t)MAX_PATH - 1);
    if (!Map(accented, PROT_READ | PROT_EXEC))
        GTEST_SKIP() << "the temporary folder forbids executable mappings";
    ASSERT_TRUE(Map(tooLong, PROT_READ | PROT_EXEC));
    ASSERT_TRUE(Map(justFits, PROT_READ | PROT_EXEC));

    std::vector<MODULEENTRY32W> modules = Modules(0);
    std::u16string expected = Widen(dir_.path()) + u"/caf\u00E9-\U0001F600.bin";
    bool sawAccented = false;
    for (const MODULEENTRY32W& module : modules) {
        if (Wide(module.szExePath) == expected) {
            sawAccented = true;
            EXPECT_EQ(Wide(module.szModule), u"caf\u00E9-\U0001F600.bin");
        }
        EXPECT_NE(Wide(module.szModule), u"long.bin");
    }
    EXPECT_TRUE(sawAccented);
    EXPECT_NE(FindModule(modules, justFits), nullptr);
}
