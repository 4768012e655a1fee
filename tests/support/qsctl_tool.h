// Running qsctl in the tests of tools: its output parsed back from JSON, a
// relay that loses datagrams on their way to the server, and the peer
// simulator as a child process driven through its standard input.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace dvtest {


// Each line of output as one JSON object (parsed by Python's json module),
// flattened to "key" and "outer.inner" with strings unquoted and other values
// in JSON form. A line that is not a JSON object fails the test.
using JsonObject = std::map<std::string, std::string>;
std::vector<JsonObject> ParseJsonLines(const std::string& output);

// A UDP socket on 127.0.0.1 that stands between qsctl and the server: it
// drops the first `drop` copies of every request (counted per sequence),
// forwards the others to the server and relays the server's reply back.
class LossyRelay {
public:
    struct Seen {
        uint32_t packetType;
        ULONGLONG sequence;
    };

    LossyRelay(WORD serverPort, int drop);
    ~LossyRelay();
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    WORD port() const { return port_; }
    // Every request that reached the relay, in order.
    std::vector<Seen> seen();

private:
    void Run();

    SOCKET sock_ = INVALID_SOCKET;
    SOCKET upstream_ = INVALID_SOCKET;
    WORD port_ = 0;
    WORD serverPort_;
    int drop_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

// "program am arguments" (the path of qsctl) as a child process with
// pipes for its standard input and output.
class AmProcess {
public:
    AmProcess(const std::string& program, const std::string& arguments);
    ~AmProcess();
    AmProcess(const AmProcess&) = delete;
    AmProcess& operator=(const AmProcess&) = delete;

    // Writes a line to its standard input.
    void Type(const std::string& line);
    // Closes its standard input.
    void CloseInput();
    void Signal(int signo);
    // Waits (up to 10 s) for an output line containing text, after those already matched; true when found.
    bool WaitFor(const std::string& text);
    // Waits (up to 10 s) for its exit; the exit status, or -1.
    int Wait();
    const std::string& output() const { return output_; }

private:
    bool ReadSome(int waitMs);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string output_;
    size_t matched_ = 0;  // output before this offset was consumed by WaitFor
};

}  // namespace dvtest
