// The real dorvane program run as a child process on the test's state
// folder, its output read through a pipe, and the service it starts.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "qsclient.h"
#include "support/event_log.h"
#include "support/eventually.h"
#include "support/qss_server.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace dvtest {

inline std::string DorvaneBinary() { return std::string(DORVANE_BINARY_DIR) + "/bin/dorvane"; }

// A sanitizer's report in what a program wrote (a data race, a leak, undefined
// behaviour) fails the test even when the program ended well.
inline void ExpectNoSanitizerReport(const std::string& output)
{
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
}

// One run of the program, standard output and error read through one pipe.
class DorvaneProcess {
public:
    explicit DorvaneProcess(const std::vector<std::string>& arguments, const std::string& binary = DorvaneBinary())
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        std::vector<std::string> words = {binary};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                output_.append(buffer, static_cast<size_t>(n));
            }
            close(fd);
        });
    }

    ~DorvaneProcess()
    {
        if (pid_ > 0 && exitCode_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        ExpectNoSanitizerReport(Output());
    }

    DorvaneProcess(const DorvaneProcess&) = delete;
    DorvaneProcess& operator=(const DorvaneProcess&) = delete;

    std::string Output()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }

    bool WaitForOutput(const std::string& text)
    {
        return Eventually([&] { return Output().find(text) != std::string::npos; });
    }

    void Signal(int signo) { kill(pid_, signo); }

    // The exit code; a program that does not end within the limit is killed
    // and reported as -1.
    int Wait()
    {
        if (exitCode_ != kRunning) return exitCode_;
        int status = 0;
        bool ended = Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(60));
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        exitCode_ = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (reader_.joinable()) reader_.join();
        return exitCode_;
    }

private:
    static constexpr int kRunning = -2;
    pid_t pid_ = -1;
    int exitCode_ = kRunning;
    std::thread reader_;
    std::mutex mutex_;
    std::string output_;
};

struct RunResult {
    int exitCode;
    std::string output;
};

inline RunResult RunDorvane(const std::vector<std::string>& arguments, const std::string& binary = DorvaneBinary())
{
    DorvaneProcess process(arguments, binary);
    int exitCode = process.Wait();
    return {exitCode, process.Output()};
}

inline int Count(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

inline std::vector<std::string> EventIds()
{
    std::vector<std::string> ids;
    for (const EventRecord& record : ReadEventLog()) ids.push_back(record.id);
    return ids;
}

// The events of a trace lines routed to the event log whose text contains part.
inline int TraceEvents(const std::string& part)
{
    int count = 0;
    for (const EventRecord& record : ReadEventLog()) {
        if (record.id == "0x4C000005" && !record.strings.empty() &&
            record.strings[0].find(part) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

// Sets a DWORD value of the installed service's Parameters key.
inline void SetParameter(const char* name, DWORD value)
{
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Parameters", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// A fresh state folder with the host pinned to loopback, a free receive
// port, and every process the test starts, services included, reaped at the end.
class ProgramTest : public ::testing::Test {
protected:
    ProgramTest()
        : hostName_("COMPUTERNAME", "DVSERVICETEST"), hosts_("DORVANE_HOSTS", files_.file("hosts").c_str())
    {
        FILE* hosts = fopen(files_.file("hosts").c_str(), "w");
        fprintf(hosts, "127.0.0.1 DVSERVICETEST\n");
        fclose(hosts);
        port_ = FreeUdpPort();
    }

    void SetUp() override
    {
        // Service processes outlive the command that started them; this process inherits and reaps them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }

    void TearDown() override
    {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = manager ? OpenServiceA(manager, "Dorvane", SERVICE_ALL_ACCESS) : nullptr;
        if (service) {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            CloseServiceHandle(service);
        }
        if (manager) CloseServiceHandle(manager);
        bool reaped = Eventually([] {
            pid_t pid = waitpid(-1, nullptr, WNOHANG);
            return pid < 0 && errno == ECHILD;
        });
        EXPECT_TRUE(reaped) << "a child process is still running";
        std::ifstream serviceLog(state_.file("run/dorvane.log"));
        std::string log((std::istreambuf_iterator<char>(serviceLog)), std::istreambuf_iterator<char>());
        ExpectNoSanitizerReport(log);
        WSACleanup();
    }

    std::string PortText() const { return std::to_string(port_); }

    RunResult Install() { return RunDorvane({"-install", PortText()}); }

    static SERVICE_STATUS_PROCESS ServiceStatus()
    {
        SERVICE_STATUS_PROCESS status = {};
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceA(manager, "Dorvane", SERVICE_QUERY_STATUS) : nullptr;
        DWORD needed = 0;
        if (service) {
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                 &needed);
            CloseServiceHandle(service);
        }
        if (manager) CloseServiceHandle(manager);
        return status;
    }

    // A QUERY_SERVICE on 127.0.0.1 at the test's port answered.
    bool Answers(QSS_SERVICE_REPLY* reply = nullptr)
    {
        SOCKET sock = QsOpenSocket("127.0.0.1");
        SOCKADDR_IN server = {};
        server.sin_family = AF_INET;
        server.sin_port = htons(port_);
        server.sin_addr.s_addr = inet_addr("127.0.0.1");
        QSS_SERVICE_REPLY answer;
        BOOL answered =
            QsQueryService(sock, &server, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, ++sequence_, 100, 1, &answer);
        closesocket(sock);
        if (answered && reply) *reply = answer;
        return answered == TRUE;
    }

    bool EventuallyAnswers()
    {
        return Eventually([&] { return Answers(); });
    }

    StateDir state_;
    TempDir files_;
    ScopedEnv hostName_;
    ScopedEnv hosts_;
    WORD port_ = 0;
    ULONGLONG sequence_ = 0;
};

}  // namespace dvtest
