// The real quorum server running in the test's own process, bound to loopback
// addresses that a hosts file pins, on a free port, with its state in a fresh
// folder.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace dvtest {

// A port free for UDP on 127.0.0.1 and 127.0.0.2 at the time of the call,
// outside the kernel's range for client sockets, not given twice in a process.
WORD FreeUdpPort();

// Local UDP sockets bound to port, as (IPv4 address in network order, inode) from /proc/net/udp.
struct UdpSocketInfo {
    uint32_t address;
    unsigned long inode;
};
std::vector<UdpSocketInfo> UdpSocketsOnPort(WORD port);

// Open descriptors and threads of this process.
int OpenDescriptorCount();
int ThreadCount();

class QssServer {
public:
    static constexpr const char* kHostName = "DVNETTEST";
    static constexpr const char* kServerId = "5b0c4d2e-8f3a-4c61-9e07-1d2a3b4c5d6e";

    explicit QssServer(std::vector<std::string> addresses = {"127.0.0.1"}, DWORD rescanInterval = 50);
    ~QssServer();
    QssServer(const QssServer&) = delete;
    QssServer& operator=(const QssServer&) = delete;

    // The start sequence up to the first address scan: initialisation, the
    // parameters a start reads, the receive port and the first sockets.
    bool Prepare();
    // Prepare, then the server thread.
    bool Start();
    // The stop a service control makes.
    void Stop();
    bool running() const { return running_; }

    // Rewrites the hosts file: the host name now has these addresses.
    void SetAddresses(const std::vector<std::string>& addresses);
    WORD port() const { return port_; }
    const std::string& hostsFile() const { return hostsFile_; }

private:
    StateDir state_;
    TempDir files_;
    std::string hostsFile_;
    DWORD rescanInterval_;
    WORD port_ = 0;
    bool prepared_ = false;
    bool running_ = false;
};

}  // namespace dvtest
