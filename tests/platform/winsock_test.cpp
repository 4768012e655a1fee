#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

// A UDP socket bound to 127.0.0.1 on a free port.
SOCKET boundLoopbackSocket(SOCKADDR_IN* address)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_NE(s, INVALID_SOCKET);
    SOCKADDR_IN bindTo = {};
    bindTo.sin_family = AF_INET;
    bindTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(s, (SOCKADDR*)&bindTo, sizeof(bindTo)), 0);
    int length = sizeof(*address);
    EXPECT_EQ(getsockname(s, (SOCKADDR*)address, &length), 0);
    EXPECT_EQ(length, (int)sizeof(*address));
    return s;
}

bool waitReadable(SOCKET s)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    struct timeval timeout = {2, 0};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

std::vector<std::string> addressesOf(const char* name, const char* service, int* status)
{
    ADDRINFOA hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    PADDRINFOA result = nullptr;
    *status = getaddrinfo(name, service, &hints, &result);
    std::vector<std::string> found;
    for (PADDRINFOA p = result; p; p = p->ai_next) {
        EXPECT_EQ(p->ai_family, AF_INET);
        EXPECT_EQ(p->ai_socktype, SOCK_DGRAM);
        EXPECT_EQ(p->ai_protocol, IPPROTO_UDP);
        const SOCKADDR_IN* sin = (const SOCKADDR_IN*)p->ai_addr;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text));
        found.push_back(std::string(text) + ":" + std::to_string(ntohs(sin->sin_port)));
    }
    freeaddrinfo(result);
    return found;
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

}  // namespace

TEST(WinsockStartup, IsReferenceCounted)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

TEST(WinsockErrors, SystemCallsLeaveMappedCodes)
{
    WSASetLastError(WSAHOST_NOT_FOUND);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);

    SOCKADDR_IN address;
    SOCKET first = boundLoopbackSocket(&address);
    SOCKET second = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(second, INVALID_SOCKET);
    EXPECT_EQ(bind(second, (SOCKADDR*)&address, sizeof(address)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    EXPECT_EQ(socket(12345, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);

    EXPECT_EQ(closesocket(second), 0);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(second, &set);
    struct timeval timeout = {0, 0};
    EXPECT_EQ(select(0, &set, nullptr, nullptr, &timeout), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(closesocket(second), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

    int length = 4;
    EXPECT_EQ(getsockname(first, (SOCKADDR*)&address, &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(closesocket(first), 0);

    int notSocket[2];
    ASSERT_EQ(pipe(notSocket), 0);
    EXPECT_EQ(closesocket(notSocket[0]), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    close(notSocket[0]);
    close(notSocket[1]);
}

TEST(WinsockErrors, ErrnoValuesTheProgramTestsMapToWinsockCodes)
{
    const struct {
        int err;
        int wsa;
    } cases[] = {{EMSGSIZE, 10040},      {ENETRESET, 10052},     {ECONNABORTED, 10053}, {ECONNRESET, 10054},
                 {ESHUTDOWN, 10058},     {EADDRINUSE, 10048},    {EADDRNOTAVAIL, 10049}, {EINVAL, 10022},
                 {ENOTSOCK, 10038},      {EWOULDBLOCK, 10035},   {0, 0}};
    for (const auto& c : cases) {
        errno = c.err;
        EXPECT_EQ(WSAGetLastError(), c.wsa) << c.err;
    }
}

TEST(WinsockDatagrams, OversizeDatagramFailsWithMsgSizeAndIsConsumed)
{
    SOCKADDR_IN address;
    SOCKET receiver = boundLoopbackSocket(&address);
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(sender, INVALID_SOCKET);

    char big[300];
    memset(big, 'B', sizeof(big));
    ASSERT_EQ(sendto(sender, big, sizeof(big), 0, (SOCKADDR*)&address, sizeof(address)), 300);
    const char small[] = "after";
    ASSERT_EQ(sendto(sender, small, (int)sizeof(small), 0, (const SOCKADDR*)&address, (int)sizeof(address)),
              (int)sizeof(small));

    char buffer[259];
    SOCKADDR_IN from;
    int fromLength = sizeof(from);
    ASSERT_TRUE(waitReadable(receiver));
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof(buffer), 0, (SOCKADDR*)&from, &fromLength), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(buffer[258], 'B');

    ASSERT_TRUE(waitReadable(receiver));
    fromLength = sizeof(from);
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof(buffer), 0, (SOCKADDR*)&from, &fromLength), (int)sizeof(small));
    EXPECT_STREQ(buffer, "after");
    EXPECT_EQ(fromLength, (int)sizeof(from));
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    EXPECT_EQ(closesocket(sender), 0);
    EXPECT_EQ(closesocket(receiver), 0);
}

TEST(WinsockAddresses, HostsFileListsEveryAddressInOrderAndIsReReadEachCall)
{
    dvtest::TempDir dir;
    std::string hosts = dir.file("hosts");
    writeFile(hosts,
              "# test hosts\n"
              "127.0.0.1   quorum-host qh   # first\n"
              "127.0.0.9   other-host\n"
              "::1         quorum-host\n"
              "127.0.0.2\tQUORUM-HOST\n");
    dvtest::ScopedEnv env("DORVANE_HOSTS", hosts.c_str());

    int status = -1;
    EXPECT_EQ(addressesOf("Quorum-Host", "4557", &status),
              (std::vector<std::string>{"127.0.0.1:4557", "127.0.0.2:4557"}));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(addressesOf("qh", nullptr, &status), (std::vector<std::string>{"127.0.0.1:0"}));

    writeFile(hosts, "127.0.0.3 quorum-host\n");
    EXPECT_EQ(addressesOf("quorum-host", "4557", &status), (std::vector<std::string>{"127.0.0.3:4557"}));
}

TEST(WinsockAddresses, WithoutAnEntryTheSystemResolverAnswersWithWinsockCodes)
{
    dvtest::TempDir dir;
    std::string hosts = dir.file("hosts");
    writeFile(hosts, "127.0.0.1 quorum-host\n");
    dvtest::ScopedEnv env("DORVANE_HOSTS", hosts.c_str());

    int status = -1;
    EXPECT_EQ(addressesOf("127.0.0.4", "99", &status), (std::vector<std::string>{"127.0.0.4:99"}));
    EXPECT_EQ(status, 0);

    addressesOf("127.0.0.4", "no-such-service-name", &status);
    EXPECT_EQ(status, WSATYPE_NOT_FOUND);
    EXPECT_EQ(WSAGetLastError(), WSATYPE_NOT_FOUND);

    ADDRINFOA hints = {};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_NUMERICHOST;
    PADDRINFOA result = nullptr;
    EXPECT_EQ(getaddrinfo("quorum-host", nullptr, &hints, &result), WSAHOST_NOT_FOUND);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST(WinsockSelect, ServesDescriptorsAboveTheSystemBitmap)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const struct rlimit saved = limit;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1100) GTEST_SKIP() << "too few descriptors allowed";
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 2048 : std::min<rlim_t>(limit.rlim_max, 2048);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> filler;
    for (int fd = -1; fd < 1024;) {
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        filler.push_back(fd);
    }

    SOCKADDR_IN address;
    SOCKET receiver = boundLoopbackSocket(&address);
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_GE(receiver, 1024);
    DV_WAKEUP* wakeup = DvWakeupCreate();
    ASSERT_NE(wakeup, nullptr);
    const char datagram[] = "above";
    ASSERT_EQ(sendto(sender, datagram, sizeof(datagram), 0, (SOCKADDR*)&address, sizeof(address)),
              (int)sizeof(datagram));

    fd_set set;
    FD_ZERO(&set);
    ASSERT_TRUE(DvSelectSetAdd(&set, sender));
    ASSERT_TRUE(DvSelectSetAdd(&set, receiver));
    ASSERT_TRUE(DvWakeupAddToSet(wakeup, &set));
    struct timeval timeout = {2, 0};
    EXPECT_EQ(select(0, &set, nullptr, nullptr, &timeout), 1);
    EXPECT_TRUE(DvSelectSetHas(&set, receiver));
    EXPECT_FALSE(FD_ISSET(sender, &set));
    char buffer[16];
    EXPECT_EQ(recvfrom(receiver, buffer, (int)sizeof(buffer), 0, nullptr, nullptr), (int)sizeof(datagram));

    DvWakeupRaise(wakeup);
    FD_ZERO(&set);
    ASSERT_TRUE(DvWakeupAddToSet(wakeup, &set));
    EXPECT_EQ(select(0, &set, nullptr, nullptr, nullptr), 1);

    DvWakeupClose(wakeup);
    closesocket(sender);
    closesocket(receiver);
    for (int fd : filler) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}
