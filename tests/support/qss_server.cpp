#include "support/qss_server.h"

#include <atomic>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Qss/config/parameters.h"
#include "Qss/config/registry_store.h"
#include "Qss/net/peer_admission.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/net/socket_set.h"
#include "Qss/service/lifecycle.h"

// The service lifecycle is not part of the server library; the server thread
// calls this when its wait fails. Like the service's own, it stops the server
// on the calling thread.
void Qss_ServiceStop(DWORD bTerminateThread) { Qss_StopServerThread(bTerminateThread); }

namespace dvtest {

namespace {

bool BindsOn(const char* address, WORD port)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(address);
    bool ok = bind(sock, (sockaddr*)&addr, sizeof(addr)) == 0;
    close(sock);
    return ok;
}

int CountEntries(const char* folder)
{
    DIR* dir = opendir(folder);
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

WORD FreeUdpPort()
{
    // Below the range the kernel hands to client sockets, so that no test's
    // client can hold the port or be left aiming at it from an earlier run;
    // never twice in one process, and from a start that depends on the process,
    // so that tests running side by side rarely probe the same ports.
    static const unsigned ephemeralFirst = [] {
        unsigned first = 32768;
        std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
        range >> first;
        return first > 4096 ? first : 32768;
    }();
    static std::atomic<unsigned> next{(unsigned)getpid() * 97u};
    const unsigned lowest = ephemeralFirst / 2;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        WORD port = (WORD)(lowest + next.fetch_add(1) % (ephemeralFirst - lowest));
        if (BindsOn("127.0.0.1", port) && BindsOn("127.0.0.2", port)) return port;
    }
    ADD_FAILURE() << "no free UDP port";
    return 0;
}

std::vector<UdpSocketInfo> UdpSocketsOnPort(WORD port)
{
    std::vector<UdpSocketInfo> found;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
        // The kernel prints the address as the 32-bit word in the machine's order.
        found.push_back({(uint32_t)std::stoul(local.substr(0, colon), nullptr, 16), inode});
    }
    return found;
}

int OpenDescriptorCount() { return CountEntries("/proc/self/fd"); }

int ThreadCount() { return CountEntries("/proc/self/task"); }

QssServer::QssServer(std::vector<std::string> addresses, DWORD rescanInterval)
    : hostsFile_(files_.file("hosts")), rescanInterval_(rescanInterval)
{
    SetAddresses(addresses);
    setenv("DORVANE_HOSTS", hostsFile_.c_str(), 1);
    setenv("COMPUTERNAME", kHostName, 1);
    port_ = FreeUdpPort();
}

QssServer::~QssServer()
{
    Stop();
    unsetenv("DORVANE_HOSTS");
    unsetenv("COMPUTERNAME");
}

bool QssServer::Prepare()
{
    if (!Qss_RegSetDWORD("QSServerPortForReceive", port_)) return false;
    if (!Qss_Initialize()) return false;
    prepared_ = true;
    // What the start reads before it binds: identity, tuning and protocol.
    DWORD size = sizeof(qssServerInfo.hostName);
    if (!GetComputerNameA(qssServerInfo.hostName, &size)) return false;
    StringCbCopyA(qssServerInfo.serverId, sizeof(qssServerInfo.serverId), kServerId);
    qssServerInfo.protocolMinor = QSS_PROTOCOL_MINOR;
    qssServerInfo.protocolMajor = QSS_PROTOCOL_MAJOR;
    qssServerInfo.componentInfo = qssComponentInfo;
    qssRescanInterval = rescanInterval_;
    // The optional values a test has written into the Parameters key.
    if (!qssReadGuardParameters()) return false;
    return qssGetMyAddr() == TRUE;
}

bool QssServer::Start()
{
    if (!Prepare()) return false;
    running_ = Qss_StartServerThread() == TRUE;
    return running_;
}

void QssServer::Stop()
{
    if (!prepared_) return;
    Qss_StopServerThread(1);
    prepared_ = false;
    running_ = false;
    qssRescanInterval = QSS_DEFAULT_RESCAN_INTERVAL;
    qssRequireIncreasingSequences = 0;
    qssRefusalReportInterval = QSS_DEFAULT_REFUSAL_REPORT_INTERVAL;
}

void QssServer::SetAddresses(const std::vector<std::string>& addresses)
{
    // Replaced whole, so that a scan never reads half a file.
    std::string temporary = hostsFile_ + ".new";
    {
        std::ofstream file(temporary);
        for (const std::string& address : addresses) file << address << " " << kHostName << "\n";
    }
    std::rename(temporary.c_str(), hostsFile_.c_str());
}

}  // namespace dvtest
