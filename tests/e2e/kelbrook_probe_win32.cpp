// Loads Kelbrook.dll as the installation package does (LoadLibraryA, then
// GetProcAddress by undecorated name) and checks every export's answer.
// Usage: kelbrook_probe.exe PATH\Kelbrook.dll. Exit code 0 when every answer is right.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>

namespace {

// Every export is caller-cleans, so calling through a variadic pointer lets
// the probe pass more arguments than an export reads, as a host may.
using IntExport = int(__cdecl*)(...);
using BoolExport = bool(__cdecl*)(...);
using VoidExport = void(__cdecl*)(...);

HMODULE library;
int failures;
int checked;

template <typename Function>
Function Export(const char* name) {
    FARPROC address = GetProcAddress(library, name);
    if (address == nullptr) {
        std::printf("%s: not exported (error %lu)\n", name, GetLastError());
        ++failures;
        return nullptr;
    }
    ++checked;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(address));
}

void Expect(const std::string& what, long long actual, long long expected) {
    if (actual != expected) {
        std::printf("%s: got %lld, expected %lld\n", what.c_str(), actual, expected);
        ++failures;
    }
}

std::string ChangeCase(std::string text, bool upper) {
    for (char& c : text)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void CheckFixedResults() {
    for (const char* name : {"ZelInsCopyFile", "ZelInsInstallDriver", "ZelInsIsDriverInstalled",
                             "ZelInsSetAutorun", "ZelInsUninstallDriver"}) {
        if (IntExport f = Export<IntExport>(name)) {
            Expect(std::string(name) + "()", f(), 0);
            Expect(std::string(name) + "(many)", f(-1, 2.5, "text", 0xFFFFFFFFu, nullptr, 7), 0);
        }
    }
    for (const char* name : {"ZelInsFindSystemDrive", "ZelInsGetBootIniLocation", "ZelInsGetSignature",
                             "ZelInsReadLanguage", "ZelInsReadPhase", "ZelInsReadProductInfo",
                             "ZelInsReadSystemInfo", "ZelInsReadVersion"}) {
        if (VoidExport f = Export<VoidExport>(name)) {
            f();
            f("C:\\", 1, nullptr);
        }
    }
    for (const char* name : {"ZelInsCreateShortcut", "ZelInsEditBootIni", "ZelInsFindBootDrive",
                             "ZelInsReadArcName", "ZelInsStartDriver", "ZelInsTestSystemCreateDate",
                             "ZelInsValidateQZDrive"}) {
        if (BoolExport f = Export<BoolExport>(name)) {
            Expect(std::string(name) + "()", f(), false);
            Expect(std::string(name) + "(many)", f(-1, 2.5, "text", 0xFFFFFFFFu, nullptr, 7), false);
        }
    }
}

void CheckComputedResults() {
    if (IntExport browse = Export<IntExport>("ZelInsBrowseForFolder")) {
        Expect("ZelInsBrowseForFolder(0, \"\")", browse(nullptr, ""), 0);
        Expect("ZelInsBrowseForFolder(0, \"D:\")", browse(nullptr, "D:"), 1);
        Expect("ZelInsBrowseForFolder(\"x\", \"\")", browse("x", ""), 0);
        Expect("ZelInsBrowseForFolder with extra arguments", browse(nullptr, "x", 5, 6), 1);
    }
    if (BoolExport testBit = Export<BoolExport>("ZelInsTestBit")) {
        Expect("ZelInsTestBit(6, 4)", testBit(6u, 4u), true);
        Expect("ZelInsTestBit(6, 1)", testBit(6u, 1u), false);
        Expect("ZelInsTestBit(0, 0)", testBit(0u, 0u), false);
        Expect("ZelInsTestBit(0x80000000, 0x80000001)", testBit(0x80000000u, 0x80000001u), true);
        Expect("ZelInsTestBit with extra arguments", testBit(3u, 2u, 99, nullptr), true);
    }
}

void CheckModuleLoaded(const char* libraryPath) {
    BoolExport loaded = Export<BoolExport>("ZelInsIsModuleLoaded");
    if (loaded == nullptr)
        return;
    char kernel32[MAX_PATH];
    DWORD length = GetModuleFileNameA(GetModuleHandleA("kernel32.dll"), kernel32, sizeof kernel32);
    if (length == 0 || length >= sizeof kernel32) {
        std::printf("GetModuleFileNameA(kernel32) failed (error %lu)\n", GetLastError());
        ++failures;
        return;
    }
    const std::string path = kernel32;
    Expect("kernel32 full path in upper case (" + path + ")", loaded(ChangeCase(path, true).c_str()), true);
    Expect("kernel32 full path in lower case", loaded(ChangeCase(path, false).c_str()), true);
    Expect("kernel32 full path with extra arguments", loaded(path.c_str(), 1, 2), true);
    Expect("kernel32.dll as a base name", loaded("kernel32.dll"), false);
    Expect("KERNEL32.DLL as a base name", loaded("KERNEL32.DLL"), false);
    Expect("a prefix of the kernel32 path", loaded(path.substr(0, path.size() - 4).c_str()), false);
    Expect("the kernel32 path and more", loaded((path + ".1").c_str()), false);
    Expect("an empty path", loaded(""), false);
    Expect("the library's own path in lower case", loaded(ChangeCase(libraryPath, false).c_str()), true);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: kelbrook_probe PATH\\Kelbrook.dll\n");
        return 2;
    }
    library = LoadLibraryA(argv[1]);
    if (library == nullptr) {
        std::printf("LoadLibraryA(%s) failed (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    // The library's own full path as the system reports it, for the module probe.
    char libraryPath[MAX_PATH];
    DWORD length = GetModuleFileNameA(library, libraryPath, sizeof libraryPath);
    if (length == 0 || length >= sizeof libraryPath) {
        std::printf("GetModuleFileNameA(Kelbrook) failed (error %lu)\n", GetLastError());
        return 1;
    }
    CheckFixedResults();
    CheckComputedResults();
    CheckModuleLoaded(libraryPath);
    std::printf("%d exports checked, %d wrong\n", checked, failures);
    return failures == 0 ? 0 : 1;
}
