// The command line: banners, words and options, the receive port of
// "install", and the ways the program refuses.
#include <filesystem>

#include "program.h"

namespace dvtest {
namespace {

const char kUsageFirstLine[] = "Dorvane -install [nnnn] to install the Quorum Service\n\n";
const char kInvalidPort[] = "Dorvane: Invalid UDP port number specified.\n";

std::string StoredDword(const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return "no key";
    }
    DWORD value = 0;
    DWORD size = sizeof value;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::to_string(value) : "no value";
}

using CommandLineTest = ProgramTest;

TEST_F(CommandLineTest, BannersComeFirstAndTheUsageListsTheAdministrationWords)
{
    RunResult run = RunDorvane({"-help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.find("Dorvane Version 7.1.0.0 \n"), 0u) << run.output;
    EXPECT_NE(run.output.find("\n\nDorvane QS Protocol Version 5.0 \n\n" + std::string(kUsageFirstLine)),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\tnnnn: optional UDP port number on which to receive. \n\tThe default is 4557.\n\n"
                              "Dorvane -remove  to uninstall the Quorum Service\n"
                              "Dorvane -start   to start the Quorum Service\n"
                              "Dorvane -stop    to stop the Quorum Service\n\n\n"),
              std::string::npos)
        << run.output;
}

TEST_F(CommandLineTest, WordsWithoutADashOrSlashOrUnknownPrintTheUsage)
{
    for (const char* word : {"--install", "install", "-installer", "-debu", "/msg"}) {
        RunResult run = RunDorvane({word});
        EXPECT_EQ(run.exitCode, 0) << word;
        EXPECT_EQ(Count(run.output, kUsageFirstLine), 1) << word;
    }
    EXPECT_EQ(StoredDword("QSServerPortForReceive"), "no key");
}

TEST_F(CommandLineTest, InstallTakesThePortAsTheCLibraryConvertsIt)
{
    RunResult run = RunDorvane({"/INSTALL", "4000"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("Dorvane: Corvath Arvenna Quorum Service installed.\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(StoredDword("QSServerPortForReceive"), "4000");

    EXPECT_EQ(RunDorvane({"-install", "65535"}).exitCode, 0);
    EXPECT_EQ(StoredDword("QSServerPortForReceive"), "65535");
    EXPECT_EQ(RunDorvane({"-install", "  +4000xyz"}).exitCode, 0);
    EXPECT_EQ(StoredDword("QSServerPortForReceive"), "4000");
    EXPECT_EQ(RunDorvane({"-Install"}).exitCode, 0);
    EXPECT_EQ(StoredDword("QSServerPortForReceive"), "4557");
}

TEST_F(CommandLineTest, PortsOutOfRangeOrNotNumbersInstallNothing)
{
    for (const char* port : {"0", "65536", "-1", "abc", "99999999999"}) {
        RunResult run = RunDorvane({"-install", port});
        EXPECT_EQ(run.exitCode, 0) << port;
        EXPECT_NE(run.output.find(kInvalidPort), std::string::npos) << port << run.output;
        EXPECT_EQ(run.output.find("installed"), std::string::npos) << port;
    }
    EXPECT_EQ(StoredDword("QSServerPortForReceive"), "no key");
    EXPECT_TRUE(ReadEventLog().empty());
}

TEST_F(CommandLineTest, DebugOptionsSetTheTraceMask)
{
    // Not installed: console mode starts, reports the failed start and ends.
    struct Case {
        std::vector<std::string> arguments;
        const char* mask;
    } cases[] = {
        {{"-debug_errors"}, "(0x3)"},   {{"/DEBUG_WARNINGS"}, "(0x7)"},
        {{"-Debug_Info"}, "(0xf)"},     {{"-debug_loud"}, "(0x1f)"},
        {{"-debug_verbose"}, "(0x3f)"}, {{"-debug_info", "PACKET_DUMP"}, "(0x4f)"},
        {{"-debug_info", "-packet_dump"}, "(0xf)"},
    };
    for (const Case& c : cases) {
        RunResult run = RunDorvane(c.arguments);
        EXPECT_EQ(run.exitCode, 0) << c.mask;
        EXPECT_NE(run.output.find(std::string("Dorvane is running in debug mode ") + c.mask + "\n"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(Count(run.output, "packet_dump enabled\n"), std::string(c.mask) == "(0x4f)" ? 1 : 0) << c.mask;
        EXPECT_NE(run.output.find("qssCmdDebugService (1461): qssServiceStart failed.\n"), std::string::npos)
            << run.output;
    }
}

TEST_F(CommandLineTest, WordsThatOnlyBeginWithDebugPrintTheUsageOnce)
{
    for (const char* word : {"-debugging", "-debug", "/DEBUG_INFORMATION"}) {
        RunResult run = RunDorvane({word});
        EXPECT_EQ(run.exitCode, 0) << word;
        EXPECT_EQ(Count(run.output, kUsageFirstLine), 1) << word;
        EXPECT_EQ(run.output.find("debug mode"), std::string::npos) << word;
    }
}

TEST_F(CommandLineTest, WithoutArgumentsOutsideTheServiceManagerItSaysSo)
{
    RunResult run = RunDorvane({});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("Dorvane: Application is running in a Command Window instead of as a service.\n"),
              std::string::npos)
        << run.output;
}

TEST_F(CommandLineTest, ConsoleModeWithoutTheMessageFileEnds)
{
    std::string lonely = files_.file("dorvane");
    std::filesystem::copy_file(DorvaneBinary(), lonely);
    RunResult run = RunDorvane({"-debug_info"}, lonely);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("qssCmdDebugService (1439): LoadLibrary returned NULL. Last error = 126.\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("qssServiceStart"), std::string::npos);
}

TEST_F(CommandLineTest, MessageFileRegistrationComesAndGoes)
{
    EXPECT_EQ(RunDorvane({"-msg_reg"}).exitCode, 0);
    HKEY key;
    const char* source = "System\\CurrentControlSet\\Services\\EventLog\\Application\\Dorvane";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, source, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    char file[MAX_PATH] = "";
    DWORD type = 0;
    DWORD size = sizeof file;
    EXPECT_EQ(RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<LPBYTE>(file), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_STREQ(file, "%SystemRoot%\\System32\\dorvane.dll");
    EXPECT_EQ(size, sizeof "%SystemRoot%\\System32\\dorvane.dll");
    DWORD types = 0;
    size = sizeof types;
    EXPECT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type, reinterpret_cast<LPBYTE>(&types), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    RegCloseKey(key);

    EXPECT_EQ(RunDorvane({"-MSG_UNREG"}).exitCode, 0);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, source, 0, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);

    RunResult again = RunDorvane({"-msg_unreg"});
    EXPECT_NE(again.output.find("Dorvane: Qss_UnregisterMessageDll (358): RegDeleteKey error (2): \n"),
              std::string::npos)
        << again.output;
    std::vector<EventRecord> events = ReadEventLog();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().id, "0xCC000007");
    EXPECT_EQ(events.back().strings[0].find("Qss_UnregisterMessageDll (363): RegDeleteKey (2): \n"), 0u);
}

}  // namespace
}  // namespace dvtest
