// Console mode: the server in the foreground at each trace level, stopped by
// Ctrl+C or Ctrl+Break.
#include <algorithm>

#include "program.h"

namespace dvtest {
namespace {

class ConsoleModeTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_EQ(Install().exitCode, 0);
    }
};

TEST_F(ConsoleModeTest, CtrlCStopsTheServerAtEveryTraceLevel)
{
    struct Level {
        const char* option;
        bool warnings;
        bool info;
    } levels[] = {
        {"-debug_errors", false, false}, {"-debug_warnings", true, false}, {"-debug_info", true, true},
        {"-debug_loud", true, true},     {"-debug_verbose", true, true},
    };
    for (const Level& level : levels) {
        SCOPED_TRACE(level.option);
        DorvaneProcess console({level.option});
        ASSERT_TRUE(EventuallyAnswers()) << console.Output();
        console.Signal(SIGINT);
        EXPECT_EQ(console.Wait(), 0);
        std::string output = console.Output();
        EXPECT_EQ(Count(output, " Dorvane: Qss_ServiceStop: called with bTerminateThread = 1\n"),
                  level.warnings ? 1 : 0)
            << output;
        EXPECT_EQ(Count(output, " Dorvane: qssServiceStart: Received STOP request.\n"), level.info ? 1 : 0)
            << output;
        if (level.info) {
            EXPECT_LT(output.find("Qss_ServiceStop: called"), output.find("Received STOP request."));
        }
        // The start event is printed with its text from the message file.
        EXPECT_NE(output.find(" UDP Port " + PortText() + "\n"), std::string::npos) << output;
        EXPECT_FALSE(Answers());
    }
}

TEST_F(ConsoleModeTest, TheStartIsTracedInOrderAndCtrlBreakAlsoStops)
{
    DorvaneProcess console({"-debug_loud"});
    ASSERT_TRUE(console.WaitForOutput("qssServiceStart: Wait for STOP request from Service Control Manager.\n"))
        << console.Output();
    EXPECT_TRUE(Answers());
    console.Signal(SIGQUIT);
    EXPECT_EQ(console.Wait(), 0);
    std::string output = console.Output();
    const char* order[] = {
        "Dorvane is running in debug mode (0x1f)\n",
        "qssServiceStart: Initializing QS server\n",
        "qssServiceStart: Retrieving QS server parameters\n",
        "qssServiceStart: Starting QS server\n",
        "qssServiceStart: Reporting RUNNING status to Service Control Manager\n",
        "qssServiceStart: Wait for STOP request from Service Control Manager.\n",
        "Qss_ServiceStop: called with bTerminateThread = 1\n",
        "qssServiceStart: Received STOP request.\n",
        "Statistics: receive errors 0, invalid packets 0,",
        ", refused peers 0, stale requests 0\n",
    };
    size_t at = 0;
    for (const char* line : order) {
        size_t found = output.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << output;
        at = found;
    }
    // Console mode reports nothing to the service manager and writes no statistics.
    std::vector<std::string> ids = EventIds();
    EXPECT_NE(std::find(ids.begin(), ids.end(), "0x4C000001"), ids.end());
    EXPECT_EQ(std::find(ids.begin(), ids.end(), "0x4C000002"), ids.end());
}

TEST_F(ConsoleModeTest, AFailedStartIsReportedAndEnds)
{
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "QSServerID"), ERROR_SUCCESS);
    RegCloseKey(key);

    RunResult run = RunDorvane({"-debug_info"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("Invalid QSServer GUID in registry"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("qssCmdDebugService (1461): qssServiceStart failed.\n"), std::string::npos);
    EXPECT_EQ(run.output.find("Wait for STOP request"), std::string::npos);
    std::vector<std::string> ids = EventIds();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), "0xCC000003");
}

}  // namespace
}  // namespace dvtest
