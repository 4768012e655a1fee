// A fresh state folder and service manager per test, the sample service
// installed on demand, and every service process started reaped at the end.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace dvtest {

inline const char kSampleService[] = "DvSample";

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Daemons outlive their starter; this process inherits them and reaps them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr);
    }

    void TearDown() override
    {
        for (pid_t pid : daemons_) {
            bool ended = Eventually([&] { return waitpid(pid, nullptr, WNOHANG) != 0; });
            if (!ended) {
                ADD_FAILURE() << "service process " << pid << " still running";
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        CloseServiceHandle(manager_);
    }

    SC_HANDLE Install(const std::string& arguments = "")
    {
        std::string image = std::string("\"") + DORVANE_SAMPLE_SERVICE + "\"" + arguments;
        return CreateServiceA(manager_, kSampleService, "Sample Service", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(),
                              nullptr, nullptr, "TCPIP\0Eventlog\0", nullptr, nullptr);
    }

    static SERVICE_STATUS_PROCESS Status(SC_HANDLE service)
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                         sizeof status, &needed));
        return status;
    }

    static bool WaitForState(SC_HANDLE service, DWORD state)
    {
        return Eventually([&] { return Status(service).dwCurrentState == state; });
    }

    // Starts the service and waits until it runs; its process is reaped at the end of the test.
    pid_t StartRunning(SC_HANDLE service)
    {
        if (!StartServiceA(service, 0, nullptr)) {
            ADD_FAILURE() << "StartService failed " << GetLastError();
            return 0;
        }
        pid_t pid = static_cast<pid_t>(Status(service).dwProcessId);
        EXPECT_GT(pid, 0);
        if (pid > 0) daemons_.push_back(pid);
        EXPECT_TRUE(WaitForState(service, SERVICE_RUNNING));
        return pid;
    }

    std::string Journal() const
    {
        std::ifstream file(state_.file("sample-service.journal"));
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    bool JournalShows(const std::string& text) const
    {
        return Eventually([&] { return Journal().find(text) != std::string::npos; });
    }

    StateDir state_;
    SC_HANDLE manager_ = nullptr;
    std::vector<pid_t> daemons_;
};

}  // namespace dvtest
