// Kelbrook loaded as the installation package loads it: the built library,
// each export looked up by name.
#include <dlfcn.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "installer-support/kelbrook.h"
#include "support/temp_dir.h"

namespace {

const std::string kLibraryPath = DORVANE_BINARY_DIR "/bin/libKelbrook.so";

// Each export by name, typed as the library declares it.
#define KELBROOK_EXPORT(name) Export<decltype(&name)>(#name)

class Kelbrook : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        library_ = dlopen(kLibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
    }

    static void TearDownTestSuite() { dlclose(library_); }

    template <typename Function>
    static Function Export(const char* name)
    {
        void* address = dlsym(library_, name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<Function>(address);
    }

    static bool IsModuleLoaded(const std::string& path)
    {
        return KELBROOK_EXPORT(ZelInsIsModuleLoaded)(path.c_str());
    }

    static void* library_;
};

void* Kelbrook::library_ = nullptr;

std::string SwapCase(std::string text)
{
    for (char& c : text)
        c = isupper(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : static_cast<char>(toupper(c));
    return text;
}

// The path of the library as the system lists it, links resolved.
std::string LoadedPath() { return std::filesystem::canonical(kLibraryPath).string(); }

}  // namespace

TEST_F(Kelbrook, FindsALibraryOfThisProcessByItsFullPathInAnyCase)
{
    std::string path = LoadedPath();
    EXPECT_TRUE(IsModuleLoaded(path));
    EXPECT_TRUE(IsModuleLoaded(SwapCase(path)));
}

TEST_F(Kelbrook, FindsOnlyTheWholePath)
{
    std::string path = LoadedPath();
    EXPECT_FALSE(IsModuleLoaded(std::filesystem::path(path).filename().string()));
    EXPECT_FALSE(IsModuleLoaded("libc.so.6"));
    EXPECT_FALSE(IsModuleLoaded(""));
    EXPECT_FALSE(IsModuleLoaded(path.substr(0, path.size() - 1)));
    EXPECT_FALSE(IsModuleLoaded(std::filesystem::path(path).parent_path().string()));
    EXPECT_FALSE(IsModuleLoaded(path + "x"));
    EXPECT_FALSE(IsModuleLoaded(path + std::string(MAX_PATH, 'x')));
}

TEST_F(Kelbrook, FindsALibraryLoadedOnlyByAnotherProcess)
{
    dvtest::TempDir dir;
    std::string copy = dir.file("KelbrookCopy.so");
    std::filesystem::copy_file(kLibraryPath, copy);
    EXPECT_FALSE(IsModuleLoaded(copy));

    // The child loads the copy, reports, and holds it until released.
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(release[1]);
        bool loaded = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL) != nullptr;
        char byte = loaded ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1)
            _exit(1);
        _exit(read(release[0], &byte, 1) == 0 ? 0 : 1);
    }
    close(ready[1]);
    close(release[0]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');

    EXPECT_TRUE(IsModuleLoaded(SwapCase(copy)));

    close(release[1]);
    close(ready[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(IsModuleLoaded(copy));
}

TEST_F(Kelbrook, BrowseForFolderAnswersWhetherTheSecondArgumentIsEmpty)
{
    auto browse = KELBROOK_EXPORT(ZelInsBrowseForFolder);
    int anything = 7;
    EXPECT_EQ(browse(nullptr, ""), 0);
    EXPECT_EQ(browse(&anything, ""), 0);
    EXPECT_EQ(browse(nullptr, "C:\\Program Files"), 1);
    EXPECT_EQ(browse("", "x"), 1);
    EXPECT_EQ(browse(&anything, " "), 1);
}

TEST_F(Kelbrook, TestBitAnswersWhetherTheValuesShareABit)
{
    auto testBit = KELBROOK_EXPORT(ZelInsTestBit);
    EXPECT_TRUE(testBit(6, 4));
    EXPECT_FALSE(testBit(6, 1));
    EXPECT_FALSE(testBit(0, 0));
    EXPECT_TRUE(testBit(0x80000000u, 0xFFFFFFFFu));
    EXPECT_FALSE(testBit(0xFFFFFFFFu, 0));
    EXPECT_FALSE(testBit(0x55555555u, 0xAAAAAAAAu));
}

TEST_F(Kelbrook, FixedResultExportsAnswerTheirResult)
{
    for (auto zero : {KELBROOK_EXPORT(ZelInsCopyFile), KELBROOK_EXPORT(ZelInsInstallDriver),
                      KELBROOK_EXPORT(ZelInsIsDriverInstalled), KELBROOK_EXPORT(ZelInsSetAutorun),
                      KELBROOK_EXPORT(ZelInsUninstallDriver)})
        EXPECT_EQ(zero(), 0);
    for (auto nothing : {KELBROOK_EXPORT(ZelInsFindSystemDrive), KELBROOK_EXPORT(ZelInsGetBootIniLocation),
                         KELBROOK_EXPORT(ZelInsGetSignature), KELBROOK_EXPORT(ZelInsReadLanguage),
                         KELBROOK_EXPORT(ZelInsReadPhase), KELBROOK_EXPORT(ZelInsReadProductInfo),
                         KELBROOK_EXPORT(ZelInsReadSystemInfo), KELBROOK_EXPORT(ZelInsReadVersion)})
        nothing();
    for (auto no : {KELBROOK_EXPORT(ZelInsCreateShortcut), KELBROOK_EXPORT(ZelInsEditBootIni),
                    KELBROOK_EXPORT(ZelInsFindBootDrive), KELBROOK_EXPORT(ZelInsReadArcName),
                    KELBROOK_EXPORT(ZelInsStartDriver), KELBROOK_EXPORT(ZelInsTestSystemCreateDate),
                    KELBROOK_EXPORT(ZelInsValidateQZDrive)})
        EXPECT_FALSE(no());
}

namespace {

// The sanitizer runtimes this test program runs with, which a library built
// with them needs to find already loaded in any other host process.
std::string SanitizerRuntimes()
{
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            std::string base = std::filesystem::path(name).filename().string();
            if (base.rfind("libasan.so", 0) == 0 || base.rfind("libubsan.so", 0) == 0
                || base.rfind("libtsan.so", 0) == 0)
                *static_cast<std::string*>(out) += (static_cast<std::string*>(out)->empty() ? "" : ":") + name;
            return 0;
        },
        &found);
    return found;
}

}  // namespace

// A host written in another language calls every export by name with the
// caller-cleans convention, also with more arguments than an export reads.
TEST(KelbrookFromAnotherProcess, PythonCallsEveryExport)
{
    std::string script = (std::filesystem::path(__FILE__).parent_path() / "kelbrook_exports.py").string();
    std::string command;
    std::string runtimes = SanitizerRuntimes();
    if (!runtimes.empty())
        command = "LD_PRELOAD='" + runtimes + "' ASAN_OPTIONS=detect_leaks=0 ";
    command += "python3 '" + script + "' '" + kLibraryPath + "' 2>&1";

    FILE* output = popen(command.c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::string text;
    char buffer[512];
    while (size_t got = fread(buffer, 1, sizeof buffer, output))
        text.append(buffer, got);
    int status = pclose(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("23 exports checked"), std::string::npos) << text;
}
