// The program while AMs keep sending: stopped by Ctrl+C in console mode or by
// the service manager, and resumed from suspend (its sockets bound afresh) in
// between, with keepalive and quorum timers running out all the while.
#include "program.h"
#include "support/quorum_traffic.h"

namespace dvtest {
namespace {

class ServiceTrafficTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_EQ(Install().exitCode, 0);
    }

    // The identity the running server answers with, as an AM learns it.
    QS_TARGET Target()
    {
        QSS_SERVICE_REPLY reply = {};
        EXPECT_TRUE(Eventually([&] { return Answers(&reply); }));
        QS_TARGET target = {};
        StringCbCopyA(target.hostName, sizeof target.hostName, reply.serverInfo.hostName);
        StringCbCopyA(target.serverId, sizeof target.serverId, reply.serverInfo.serverId);
        return target;
    }
};

TEST_F(ServiceTrafficTest, CtrlCDuringTrafficStopsTheConsoleServer)
{
    DorvaneProcess console({"-debug_warnings"});
    QuorumTraffic traffic(port_, Target());
    ASSERT_TRUE(traffic.WaitForReplies(200)) << console.Output();
    console.Signal(SIGINT);
    EXPECT_EQ(console.Wait(), 0) << console.Output();
    traffic.Stop();
    EXPECT_NE(console.Output().find("Qss_ServiceStop: called with bTerminateThread = 1\n"), std::string::npos)
        << console.Output();
    EXPECT_FALSE(Answers());
}

TEST_F(ServiceTrafficTest, ResumesAndThenAStopDuringTrafficLeaveTheServiceStopped)
{
    SetParameter("Debug", 0x88);  // info-level traces to the event log: the binds show there
    // A resume leaves the server without sockets for one interval: keep it short.
    SetParameter("RescanIpAddressInterval", 100);
    ASSERT_EQ(RunDorvane({"-start"}).exitCode, 0);
    ASSERT_EQ(ServiceStatus().dwCurrentState, (DWORD)SERVICE_RUNNING);
    pid_t service = (pid_t)ServiceStatus().dwProcessId;

    QuorumTraffic traffic(port_, Target());
    ASSERT_TRUE(traffic.WaitForReplies(100));
    const char bind[] = "Creating and binding socket to address(127.0.0.1:";
    for (int resume = 2; resume <= 4; ++resume) {
        kill(service, SIGUSR1);
        EXPECT_TRUE(Eventually([&] { return TraceEvents(bind) == resume; })) << resume;
        // Answers go on from the fresh socket.
        EXPECT_TRUE(traffic.WaitForReplies(traffic.replies() + 50)) << resume;
    }
    EXPECT_EQ(ServiceStatus().dwCurrentState, (DWORD)SERVICE_RUNNING);

    RunResult stop = RunDorvane({"-stop"});
    EXPECT_EQ(stop.exitCode, 0) << stop.output;
    traffic.Stop();
    SERVICE_STATUS_PROCESS status = ServiceStatus();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_FALSE(Answers());
    std::vector<std::string> ids = EventIds();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), "0x4C000002");
}

}  // namespace
}  // namespace dvtest
