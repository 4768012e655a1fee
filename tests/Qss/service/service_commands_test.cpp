// The administration commands against the service manager, and the service
// itself running in its own process: start, answer, stop, remove, and what
// it writes to the event log on the way.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "program.h"

namespace dvtest {
namespace {

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Dorvane";
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters";
const char kSourceKey[] = "System\\CurrentControlSet\\Services\\EventLog\\Application\\Dorvane";

bool KeyExists(const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A value as raw bytes, empty when it cannot be read.
std::string Value(const char* keyName, const char* valueName)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return "";
    char data[1024];
    DWORD size = sizeof data;
    LSTATUS status = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(data, size) : "";
}

DWORD DwordValue(const char* keyName, const char* valueName)
{
    std::string bytes = Value(keyName, valueName);
    DWORD value = 0xFFFFFFFF;
    if (bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// The events written since the given count of records.
std::vector<std::string> EventIdsSince(size_t first)
{
    std::vector<std::string> ids = EventIds();
    return std::vector<std::string>(ids.begin() + (std::ptrdiff_t)std::min(first, ids.size()), ids.end());
}

bool Contains(const std::vector<std::string>& ids, const char* id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// What the service process printed on its standard output.
std::string ServiceLog()
{
    std::ifstream file(std::string(getenv("DORVANE_STATE_DIR")) + "/run/dorvane.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class ServiceCommandsTest : public ProgramTest {
protected:
    void Started()
    {
        RunResult start = RunDorvane({"-start"});
        EXPECT_EQ(start.exitCode, 0);
        EXPECT_NE(start.output.find("Starting Corvath Arvenna Quorum Service\n"), std::string::npos) << start.output;
        ASSERT_NE(start.output.find("Corvath Arvenna Quorum Service started\n"), std::string::npos) << start.output;
        ASSERT_EQ(ServiceStatus().dwCurrentState, (DWORD)SERVICE_RUNNING);
    }
};

TEST_F(ServiceCommandsTest, InstallingTwiceKeepsTheIdentityAndResetsTheRest)
{
    RunResult first = Install();
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(Count(first.output, "Dorvane: Corvath Arvenna Quorum Service installed.\n"), 1);
    EXPECT_EQ(EventIds(), std::vector<std::string>{"0x4C000018"});
    std::string identity = Value(kParametersKey, "QSServerID");
    ASSERT_EQ(identity.size(), 37u);
    EXPECT_EQ(identity[36], '\0');
    EXPECT_EQ(DwordValue(kParametersKey, "QSServerPortForReceive"), (DWORD)port_);
    EXPECT_EQ(DwordValue(kParametersKey, "RescanIpAddressInterval"), 2000u);
    EXPECT_EQ(DwordValue(kParametersKey, "InstanceRetainTimeAfterDetach"), 300000u);
    EXPECT_EQ(DwordValue(kParametersKey, "MaxInstanceNum"), 4000u);
    EXPECT_EQ(Value(kServiceKey, "ImagePath"), "\"" + DorvaneBinary() + "\"" + std::string(1, '\0'));
    EXPECT_EQ(DwordValue(kServiceKey, "Start"), 2u);
    EXPECT_EQ(DwordValue(kServiceKey, "Type"), 0x10u);
    EXPECT_EQ(DwordValue(kServiceKey, "ErrorControl"), 1u);
    EXPECT_EQ(Value(kServiceKey, "DependOnService"), std::string("TCPIP\0Eventlog\0\0", 16));
    EXPECT_EQ(Value(kServiceKey, "DisplayName"), std::string("Corvath Arvenna Quorum Service\0", 31));
    EXPECT_EQ(Value(kServiceKey, "Description").find("Prevents Corvath Arvenna PVMs from operating independently"),
              0u);
    EXPECT_EQ(DwordValue(kSourceKey, "TypesSupported"), 7u);

    // The administrator's own changes: start type and tuning.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "Dorvane", SERVICE_CHANGE_CONFIG);
    ASSERT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, "Another Name"));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetParameter("MaxInstanceNum", 7);
    SetParameter("Debug", 0x8F);

    RunResult second = RunDorvane({"-install", "4001"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.output.find("installed"), std::string::npos) << second.output;
    EXPECT_EQ(EventIds(), (std::vector<std::string>{"0x4C000018", "0x4C000019"}));
    EXPECT_EQ(Value(kParametersKey, "QSServerID"), identity);
    EXPECT_EQ(DwordValue(kParametersKey, "QSServerPortForReceive"), 4001u);
    EXPECT_EQ(DwordValue(kParametersKey, "MaxInstanceNum"), 4000u);
    EXPECT_EQ(DwordValue(kParametersKey, "Debug"), 0x8Fu);
    EXPECT_EQ(DwordValue(kServiceKey, "Start"), 3u);
    EXPECT_EQ(Value(kServiceKey, "DisplayName"), std::string("Corvath Arvenna Quorum Service\0", 31));
}

TEST_F(ServiceCommandsTest, StartAnswerStopAndRemove)
{
    ASSERT_EQ(Install().exitCode, 0);
    std::string identity = Value(kParametersKey, "QSServerID");
    Started();

    QSS_SERVICE_REPLY reply;
    ASSERT_TRUE(Answers(&reply));
    EXPECT_EQ(std::string(reply.serverInfo.serverId) + '\0', identity);
    EXPECT_STREQ(reply.serverInfo.hostName, "DVSERVICETEST");
    EXPECT_EQ(+reply.serverInfo.port, port_);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "Dorvane", SERVICE_INTERROGATE);
    SERVICE_STATUS interrogated = {};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &interrogated));
    EXPECT_EQ(interrogated.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(interrogated.dwCheckPoint, 0u);
    EXPECT_EQ(interrogated.dwControlsAccepted, 0x41u);
    EXPECT_EQ(interrogated.dwServiceType, 0x10u);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    size_t before = EventIds().size();
    RunResult stop = RunDorvane({"-stop"});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_NE(stop.output.find("Stopping Corvath Arvenna Quorum Service\n"), std::string::npos) << stop.output;
    EXPECT_NE(stop.output.find("Corvath Arvenna Quorum Service stopped\n"), std::string::npos) << stop.output;
    SERVICE_STATUS_PROCESS status = ServiceStatus();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_FALSE(Answers());

    // The statistics at the stop: the ten counters, none counted by one good query.
    std::vector<EventRecord> events = ReadEventLog();
    ASSERT_GT(events.size(), before);
    EXPECT_EQ(events.back().id, "0x4C000002");
    EXPECT_EQ(events.back().type, "information");
    EXPECT_TRUE(events.back().strings.empty());
    EXPECT_EQ(events.back().data, std::string(80, '0'));
    // The start event before it names the port.
    auto started = std::find_if(events.begin(), events.end(), [](const EventRecord& e) { return e.id == "0x4C000001"; });
    ASSERT_NE(started, events.end());
    EXPECT_EQ(started->strings,
              std::vector<std::string>{"Dorvane Version 7.1.0.0\n Protocol Version 5.0\n UDP Port " + PortText() +
                                       "\n\n"});
    EXPECT_EQ(started->data.size(), 162u);

    // Stopped: removal deletes without stopping, with the parameters and the event source.
    RunResult remove = RunDorvane({"-remove"});
    EXPECT_EQ(remove.exitCode, 0);
    EXPECT_EQ(remove.output.find("Stopping"), std::string::npos) << remove.output;
    EXPECT_NE(remove.output.find("Corvath Arvenna Quorum Service removed.\n"), std::string::npos) << remove.output;
    EXPECT_EQ(EventIds().back(), "0x4C00001A");
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_FALSE(KeyExists(kSourceKey));
}

TEST_F(ServiceCommandsTest, RemovingARunningServiceStopsItFirst)
{
    ASSERT_EQ(Install().exitCode, 0);
    Started();
    RunResult remove = RunDorvane({"-remove"});
    EXPECT_EQ(remove.exitCode, 0);
    size_t stopping = remove.output.find("Stopping Corvath Arvenna Quorum Service\n");
    EXPECT_NE(stopping, std::string::npos) << remove.output;
    EXPECT_GT(remove.output.find("Corvath Arvenna Quorum Service removed.\n"), stopping) << remove.output;
    EXPECT_FALSE(KeyExists(kServiceKey));
    std::vector<std::string> ids = EventIds();
    ASSERT_GE(ids.size(), 2u);
    EXPECT_EQ(ids[ids.size() - 2], "0x4C000002");
    EXPECT_EQ(ids.back(), "0x4C00001A");
}

TEST_F(ServiceCommandsTest, RemovingWhatIsNotInstalledLeavesTheEventSource)
{
    ASSERT_EQ(RunDorvane({"-msg_reg"}).exitCode, 0);
    RunResult remove = RunDorvane({"-remove"});
    EXPECT_EQ(remove.exitCode, 0);
    EXPECT_NE(remove.output.find("Dorvane: qssCmdRemoveService (1269): OpenService (1060): \n"
                                 "The specified service does not exist as an installed service.\r\n"),
              std::string::npos)
        << remove.output;
    EXPECT_EQ(EventIds(), (std::vector<std::string>{"0xCC000007", "0x4C000004"}));
    EXPECT_TRUE(ReadEventLog().back().data.empty());
    EXPECT_TRUE(KeyExists(kSourceKey));
}

TEST_F(ServiceCommandsTest, StoppingAServiceThatDoesNotRunSaysSoQuietly)
{
    ASSERT_EQ(Install().exitCode, 0);
    size_t before = EventIds().size();
    RunResult stop = RunDorvane({"-stop"});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_EQ(stop.output.find("Stopping"), std::string::npos) << stop.output;
    EXPECT_EQ(stop.output.find("Dorvane: "), std::string::npos) << stop.output;
    EXPECT_NE(stop.output.find("Corvath Arvenna Quorum Service failed to stop or was not running\n"),
              std::string::npos)
        << stop.output;
    EXPECT_EQ(EventIds().size(), before);
}

TEST_F(ServiceCommandsTest, AStartThatFailsEndsStoppedWithTheServiceSpecificCode)
{
    ASSERT_EQ(Install().exitCode, 0);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "QSServerID"), ERROR_SUCCESS);
    RegCloseKey(key);
    size_t before = EventIds().size();

    RunResult start = RunDorvane({"-start"});
    EXPECT_EQ(start.exitCode, 0);
    size_t starting = start.output.find("Starting Corvath Arvenna Quorum Service\n");
    size_t unexpected =
        start.output.find("Dorvane: qssCmdStartService (2063): QueryServiceStatus returned unexpected state (1)\n");
    size_t failed = start.output.find("Corvath Arvenna Quorum Service failed to start\n");
    EXPECT_NE(starting, std::string::npos) << start.output;
    EXPECT_NE(unexpected, std::string::npos) << start.output;
    EXPECT_NE(failed, std::string::npos) << start.output;
    EXPECT_LT(starting, unexpected);
    EXPECT_LT(unexpected, failed);

    SERVICE_STATUS_PROCESS status = ServiceStatus();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0xCC000003u);
    std::vector<std::string> ids = EventIdsSince(before);
    ASSERT_GE(ids.size(), 2u);
    EXPECT_EQ(ids[ids.size() - 2], "0xCC000003");
    EXPECT_EQ(ids.back(), "0x4C000002");
    EXPECT_TRUE(Contains(ids, "0xCC000013"));
    EXPECT_FALSE(Contains(ids, "0x4C000001"));
}

TEST_F(ServiceCommandsTest, AServerThatStopsItselfEndsTheProcessAsFailed)
{
    ASSERT_EQ(Install().exitCode, 0);
    // Run as the system manager runs it, with a select that fails at once.
    ScopedEnv notify("NOTIFY_SOCKET", files_.file("notify").c_str());
    ScopedEnv faults("DORVANE_FAULTS", "select:1");
    RunResult run = RunDorvane({});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    std::vector<std::string> ids = EventIds();
    EXPECT_TRUE(Contains(ids, "0xCC000006"));
    EXPECT_EQ(ids.back(), "0x4C000002");
}

TEST_F(ServiceCommandsTest, TheDebugValueTracesToTheEventLogWithoutConsoleOrPacketDumps)
{
    ASSERT_EQ(Install().exitCode, 0);
    SetParameter("Debug", 0xFF);
    Started();
    EXPECT_TRUE(Answers());
    ASSERT_EQ(RunDorvane({"-stop"}).exitCode, 0);

    // 0xBE: every level to the event log, as events rather than console lines.
    EXPECT_EQ(TraceEvents("main: Attempting to start service. This may take several seconds.\n"), 1);
    EXPECT_EQ(TraceEvents("qssServiceStart: Initializing QS server"), 1);
    EXPECT_EQ(TraceEvents("qssServiceStart: Reporting RUNNING status to Service Control Manager"), 1);
    EXPECT_EQ(TraceEvents("qssServiceCtrlHandler: SERVICE_CONTROL_STOP"), 1);
    EXPECT_EQ(TraceEvents("Qss_ServiceStop: called with bTerminateThread = 1"), 1);
    std::string log = ServiceLog();
    EXPECT_NE(log.find("Dorvane Version 7.1.0.0"), std::string::npos) << log;
    EXPECT_EQ(log.find("qssServiceStart"), std::string::npos) << log;
    EXPECT_EQ(log.find("0000:"), std::string::npos) << log;
}

TEST_F(ServiceCommandsTest, ResumeFromSuspendRebindsTheSockets)
{
    ASSERT_EQ(Install().exitCode, 0);
    SetParameter("Debug", 0x88);
    Started();
    ASSERT_TRUE(Answers());
    const char bind[] = "Creating and binding socket to address(127.0.0.1:";
    EXPECT_EQ(TraceEvents(bind), 1);

    kill((pid_t)ServiceStatus().dwProcessId, SIGUSR1);
    EXPECT_TRUE(Eventually([&] { return TraceEvents(bind) == 2; }));
    EXPECT_TRUE(EventuallyAnswers());
    EXPECT_EQ(ServiceStatus().dwCurrentState, (DWORD)SERVICE_RUNNING);
}

}  // namespace
}  // namespace dvtest
