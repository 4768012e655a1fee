// Service processes: started as daemons, controlled, signalled, killed and
// removed while they run.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "service_fixture.h"
#include "support/scoped_env.h"

extern char** environ;

namespace {

using dvtest::Eventually;
using dvtest::kSampleService;
using dvtest::ScopedEnv;
using dvtest::ServiceTest;

TEST_F(ServiceTest, StartRunsTheServiceAndStopEndsIt)
{
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    pid_t pid = StartRunning(service);
    ASSERT_GT(pid, 0);
    EXPECT_NE(pid, getpid());
    SERVICE_STATUS_PROCESS running = Status(service);
    EXPECT_EQ(running.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT);
    EXPECT_EQ(running.dwCheckPoint, 0u);

    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
    SERVICE_STATUS_PROCESS stopped = Status(service);
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped.dwProcessId, 0u);

    // The handler ran on the dispatcher's thread with its context; the service main got its name.
    EXPECT_TRUE(JournalShows("main pid " + std::to_string(pid) + " args DvSample\n"));
    EXPECT_TRUE(JournalShows("control 4 event 0 context sample-context thread dispatcher"));
    EXPECT_TRUE(JournalShows("control 1 event 0 context sample-context thread dispatcher"));
    EXPECT_TRUE(JournalShows("stopping"));
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, ServiceRunsWithTheStartersStateFolderAndSettings)
{
    ScopedEnv computer("COMPUTERNAME", "QSTESTHOST");
    ScopedEnv hosts("DORVANE_HOSTS", state_.file("hosts").c_str());
    ScopedEnv notify("NOTIFY_SOCKET", "/nonexistent/notify");
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    const char* arguments[] = {"first", "second"};
    ASSERT_TRUE(StartServiceA(service, 2, arguments));
    pid_t pid = static_cast<pid_t>(Status(service).dwProcessId);
    ASSERT_GT(pid, 0);
    daemons_.push_back(pid);
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    // The journal lies in this test's state folder, so the service used it.
    EXPECT_TRUE(JournalShows("args DvSample first second\n"));
    EXPECT_TRUE(JournalShows("env COMPUTERNAME=QSTESTHOST DORVANE_HOSTS=" + state_.file("hosts") +
                             " NOTIFY_SOCKET=(unset)\n"));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, KilledServiceReadsAsStoppedAndStartsAgain)
{
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    pid_t pid = StartRunning(service);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(Status(service).dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    SERVICE_STATUS status;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    pid_t second = StartRunning(service);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, pid);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, SignalsBecomeControlsOnTheDispatcherThread)
{
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    pid_t pid = StartRunning(service);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGUSR1), 0);
    EXPECT_TRUE(JournalShows("control 13 event 7 context sample-context thread dispatcher"));
    EXPECT_EQ(Status(service).dwCurrentState, SERVICE_RUNNING);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(Status(service).dwWin32ExitCode, 0u);
    EXPECT_TRUE(JournalShows("control 1 event 0"));
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, DeletingARunningServiceCompletesWhenItStops)
{
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    ASSERT_GT(StartRunning(service), 0);
    ASSERT_TRUE(DeleteService(service));

    SC_HANDLE other = OpenServiceA(manager_, kSampleService, SERVICE_ALL_ACCESS);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(DeleteService(other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(Install(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(other, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitForState(other, SERVICE_STOPPED));
    EXPECT_TRUE(Eventually([&] {
        SC_HANDLE gone = OpenServiceA(manager_, kSampleService, SERVICE_QUERY_STATUS);
        if (gone) CloseServiceHandle(gone);
        return !gone && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }));
    CloseServiceHandle(other);
    CloseServiceHandle(service);
    SC_HANDLE again = Install();
    EXPECT_NE(again, nullptr);
    CloseServiceHandle(again);
}

TEST_F(ServiceTest, FailedStartsReadAsStopped)
{
    SC_HANDLE failing = Install(" --fail-start");
    ASSERT_NE(failing, nullptr);
    ASSERT_TRUE(StartServiceA(failing, 0, nullptr));
    ASSERT_TRUE(WaitForState(failing, SERVICE_STOPPED));
    ASSERT_TRUE(JournalShows("main pid "));
    daemons_.push_back(std::stoi(Journal().substr(std::strlen("main pid "))));
    SERVICE_STATUS_PROCESS status = Status(failing);
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 7u);
    ASSERT_TRUE(DeleteService(failing));
    CloseServiceHandle(failing);

    SC_HANDLE missing = CreateServiceA(manager_, "DvMissing", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       state_.file("no-such-program").c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Status(missing).dwCurrentState, SERVICE_STOPPED);
    CloseServiceHandle(missing);
}

TEST(ServiceDispatcherTest, PlainProcessIsNotAService)
{
    ScopedEnv notify("NOTIFY_SOCKET", nullptr);
    ScopedEnv invocation("INVOCATION_ID", nullptr);
    dvtest::StateDir state;
    char name[] = "DvSample";
    SERVICE_TABLE_ENTRYA table[] = {{name, [](DWORD, LPSTR*) { ADD_FAILURE() << "service main ran"; }},
                                    {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(RegisterServiceCtrlHandlerExA(name, [](DWORD, DWORD, LPVOID, LPVOID) -> DWORD { return 0; }, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
}

std::string ReceiveNotification(int fd)
{
    pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, 20000) != 1) return "(nothing)";
    char text[256];
    ssize_t got = recv(fd, text, sizeof text, 0);
    return got < 0 ? "(error)" : std::string(text, static_cast<size_t>(got));
}

// Reads notifications until one contains the text.
bool Notified(int fd, const std::string& text)
{
    for (int i = 0; i < 10; ++i) {
        std::string message = ReceiveNotification(fd);
        if (message.find(text) != std::string::npos) return true;
        if (message[0] == '(') return false;
    }
    return false;
}

TEST_F(ServiceTest, UnderSystemdTheServiceNotifiesAndStopsOnSigterm)
{
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    std::string socketPath = state_.file("notify");
    int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    ScopedEnv notifyVariable("NOTIFY_SOCKET", socketPath.c_str());
    char program[] = DORVANE_SAMPLE_SERVICE;
    char* argv[] = {program, nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, program, nullptr, nullptr, argv, environ), 0);
    daemons_.push_back(pid);
    EXPECT_TRUE(Notified(notify, "READY=1"));
    EXPECT_EQ(Status(service).dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(Status(service).dwProcessId, static_cast<DWORD>(pid));
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(Notified(notify, "STOPPING=1"));
    int exitStatus = -1;
    ASSERT_EQ(waitpid(pid, &exitStatus, 0), pid);
    daemons_.clear();
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
    EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(Status(service).dwWin32ExitCode, 0u);
    close(notify);
    CloseServiceHandle(service);
}

}  // namespace
