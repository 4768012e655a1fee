// The receive socket set as the host's addresses come and go, and the stop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/net/socket_set.h"
#include "qsclient.h"
#include "support/eventually.h"
#include "support/qss_server.h"

namespace {

using dvtest::Eventually;

SOCKADDR_IN Address(const char* ip, WORD port)
{
    SOCKADDR_IN address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(ip);
    return address;
}

bool Answers(SOCKET client, const char* ip, WORD port, SOCKADDR_IN* from = nullptr, QSS_SERVICE_REPLY* out = nullptr)
{
    static ULONGLONG sequence = 1000;
    SOCKADDR_IN to = Address(ip, port);
    QSS_SERVICE_REPLY reply;
    if (!QsQueryService(client, &to, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, ++sequence, 100, 2, &reply)) return false;
    if (out) *out = reply;
    if (from) *from = to;
    return true;
}

bool HasSocketOn(WORD port, const char* ip)
{
    for (const dvtest::UdpSocketInfo& info : dvtest::UdpSocketsOnPort(port)) {
        if (info.address == inet_addr(ip)) return true;
    }
    return false;
}

unsigned long InodeOn(WORD port, const char* ip)
{
    for (const dvtest::UdpSocketInfo& info : dvtest::UdpSocketsOnPort(port)) {
        if (info.address == inet_addr(ip)) return info.inode;
    }
    return 0;
}

TEST(ServerSocketsTest, EachAddressAnswersFromItselfAndFollowsTheHostsAddresses)
{
    dvtest::QssServer server({"127.0.0.1", "127.0.0.2"});
    ASSERT_TRUE(server.Start());
    SOCKET client = QsOpenSocket(nullptr);
    ASSERT_NE(client, INVALID_SOCKET);

    for (const char* ip : {"127.0.0.1", "127.0.0.2"}) {
        SOCKADDR_IN to = Address(ip, server.port());
        QSS_PACKET_HEADER query;
        QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 5);
        ASSERT_TRUE(QsSend(client, &to, &query, sizeof(query)));
        BYTE reply[QSS_MAX_PACKET_SIZE + 1];
        SOCKADDR_IN from;
        int received = QsReceive(client, reply, sizeof(reply), 2000, &from);
        QSS_SERVICE_REPLY parsed;
        ASSERT_EQ(QsParseServiceReply(reply, received, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 5, &parsed), QS_REPLY_OK)
            << ip;
        EXPECT_EQ(from.sin_addr.s_addr, inet_addr(ip));
        EXPECT_EQ(+parsed.serverInfo.ipAddress, inet_addr(ip));
        EXPECT_EQ(+parsed.serverInfo.port, server.port());
    }

    // An address that leaves the host loses its socket at a later scan; the other keeps its own.
    unsigned long firstInode = InodeOn(server.port(), "127.0.0.1");
    server.SetAddresses({"127.0.0.1"});
    EXPECT_TRUE(Eventually([&] { return !HasSocketOn(server.port(), "127.0.0.2"); }));
    EXPECT_EQ(InodeOn(server.port(), "127.0.0.1"), firstInode);
    EXPECT_TRUE(Answers(client, "127.0.0.1", server.port()));

    // Back again: a fresh socket answers on it.
    server.SetAddresses({"127.0.0.1", "127.0.0.2"});
    EXPECT_TRUE(Eventually([&] { return Answers(client, "127.0.0.2", server.port()); }));

    // A requested rescan (resume from suspend) closes every socket and binds afresh.
    unsigned long secondInode = InodeOn(server.port(), "127.0.0.2");
    qssRequestRescan();
    EXPECT_TRUE(Eventually([&] {
        unsigned long first = InodeOn(server.port(), "127.0.0.1");
        unsigned long second = InodeOn(server.port(), "127.0.0.2");
        return first && second && first != firstInode && second != secondInode;
    }));
    EXPECT_TRUE(Eventually([&] { return Answers(client, "127.0.0.1", server.port()); }));
    EXPECT_TRUE(Answers(client, "127.0.0.2", server.port()));

    closesocket(client);
    server.Stop();
}

TEST(ServerSocketsTest, AStopWhileDatagramsKeepArrivingLeavesNothingBehind)
{
    // Sanitizer runtimes start a helper thread with the process's first thread: count after it.
    std::thread([] {}).join();
    dvtest::QssServer server({"127.0.0.1", "127.0.0.2"});
    // The registry's log stays open for the process once a flushed change has opened it, and so does the
    // thread that closes the database after a pause; the database itself may be open or not.
    HKEY scratch;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Scratch", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &scratch, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegFlushKey(scratch), ERROR_SUCCESS);
    RegCloseKey(scratch);
    int threadsBefore = dvtest::ThreadCount();
    int descriptorsBefore = dvtest::OpenDescriptorCount();
    ASSERT_TRUE(server.Start());
    WORD port = server.port();

    std::atomic<bool> sending{true};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        SOCKET sock = QsOpenSocket("127.0.0.1");
        SOCKADDR_IN to = Address("127.0.0.1", port);
        QSS_PACKET_HEADER query;
        ULONGLONG sequence = 0;
        while (sending) {
            QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, ++sequence);
            QsSend(sock, &to, &query, sizeof(query));
            sent++;
        }
        closesocket(sock);
    });
    ASSERT_TRUE(Eventually([&] { return sent > 200; }));

    server.Stop();
    sending = false;
    sender.join();

    EXPECT_TRUE(dvtest::UdpSocketsOnPort(port).empty());
    EXPECT_TRUE(Eventually([&] { return dvtest::OpenDescriptorCount() <= descriptorsBefore; }))
        << dvtest::OpenDescriptorCount() << " descriptors, " << descriptorsBefore << " before";
    // An ended thread may leave the task list a moment after it was joined.
    EXPECT_TRUE(Eventually([&] { return dvtest::ThreadCount() == threadsBefore; })) << dvtest::ThreadCount();
}

TEST(ServerSocketsTest, AStopBeforeTheFirstTurnClosesTheSocketsTheFirstScanOpened)
{
    // The first scan leaves its sockets new until the server thread's first
    // turn activates them; a start that ends there must still free the port.
    dvtest::QssServer server({"127.0.0.1", "127.0.0.2"});
    ASSERT_TRUE(server.Prepare());
    EXPECT_EQ(qssSocketCount, 2u);
    EXPECT_EQ(qssSocketTable[0].state, QSS_SOCKET_NEW);
    EXPECT_TRUE(HasSocketOn(server.port(), "127.0.0.2"));
    server.Stop();
    EXPECT_TRUE(dvtest::UdpSocketsOnPort(server.port()).empty());
}

class SocketScanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Prepare()); }
    void TearDown() override { server_.Stop(); }
    dvtest::QssServer server_;
};

// The receive buffer asked for, as far as the system's limit allows (Linux
// reports twice what it grants).
TEST_F(SocketScanTest, EverySocketGetsTheLargeReceiveBuffer)
{
    long limit = QSS_RECEIVE_BUFFER_SIZE;
    if (FILE* file = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
        if (std::fscanf(file, "%ld", &limit) != 1) limit = QSS_RECEIVE_BUFFER_SIZE;
        std::fclose(file);
    }
    long expected = std::min<long>(QSS_RECEIVE_BUFFER_SIZE, limit);
    server_.SetAddresses({"127.0.0.1", "127.0.0.2"});
    qssRescanIPaddress();
    ASSERT_EQ(qssSocketCount, 2u);
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        int size = 0;
        socklen_t length = sizeof(size);
        ASSERT_EQ(getsockopt(qssSocketTable[i].sock, SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
        EXPECT_GE(size, expected) << "socket " << i;
    }
}

TEST_F(SocketScanTest, AKeptAddressKeepsItsSocketAndAVanishedOneIsClosedAtTheNextTurn)
{
    ASSERT_EQ(qssSocketCount, 1u);
    EXPECT_TRUE(qssCheckSocketSetChange());
    EXPECT_EQ(qssSocketTable[0].state, QSS_SOCKET_ACTIVE);
    SOCKET kept = qssSocketTable[0].sock;
    EXPECT_EQ(qssRescanIPaddress(), 0);
    EXPECT_EQ(qssSocketTable[0].sock, kept);
    EXPECT_FALSE(qssCheckSocketSetChange());

    server_.SetAddresses({"127.0.0.2", "127.0.0.1"});
    EXPECT_EQ(qssRescanIPaddress(), 1);
    ASSERT_EQ(qssSocketCount, 2u);
    EXPECT_EQ(qssSocketTable[0].state, QSS_SOCKET_ACTIVE);
    EXPECT_EQ(qssSocketTable[1].state, QSS_SOCKET_NEW);
    EXPECT_EQ(qssSocketTable[1].addr.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(ntohs(qssSocketTable[1].addr.sin_port), server_.port());
    EXPECT_TRUE(qssCheckSocketSetChange());

    server_.SetAddresses({"127.0.0.2"});
    EXPECT_EQ(qssRescanIPaddress(), 1);
    EXPECT_EQ(qssSocketTable[0].state, QSS_SOCKET_CLOSE_PENDING);
    EXPECT_TRUE(HasSocketOn(server_.port(), "127.0.0.1"));
    EXPECT_TRUE(qssCheckSocketSetChange());
    ASSERT_EQ(qssSocketCount, 1u);
    EXPECT_EQ(qssSocketTable[0].addr.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_FALSE(HasSocketOn(server_.port(), "127.0.0.1"));
}

TEST_F(SocketScanTest, ABindFailureIsReportedOnceAndRetriedAtEveryScan)
{
    ASSERT_TRUE(qssCheckSocketSetChange());
    // Another socket holds the port on the second address.
    SOCKET holder = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN held = Address("127.0.0.2", server_.port());
    ASSERT_EQ(bind(holder, (const SOCKADDR*)&held, sizeof(held)), 0);

    QSS_STATS before;
    Qss_SnapshotStats(&before);
    server_.SetAddresses({"127.0.0.1", "127.0.0.2"});
    EXPECT_EQ(qssRescanIPaddress(), 0);
    ASSERT_EQ(qssSocketCount, 2u);
    EXPECT_EQ(qssSocketTable[1].state, QSS_SOCKET_BIND_FAILED);
    EXPECT_EQ(qssRescanIPaddress(), 0);
    QSS_STATS after;
    Qss_SnapshotStats(&after);
    EXPECT_EQ(after.socketErrors - before.socketErrors, 1u);

    closesocket(holder);
    EXPECT_EQ(qssRescanIPaddress(), 1);
    EXPECT_EQ(qssSocketTable[1].state, QSS_SOCKET_NEW);
    EXPECT_TRUE(qssCheckSocketSetChange());
    EXPECT_EQ(qssSocketTable[1].state, QSS_SOCKET_ACTIVE);
}

TEST_F(SocketScanTest, AtMostSixteenAddressesAreWalked)
{
    std::vector<std::string> many;
    for (int i = 1; i <= 18; ++i) many.push_back("127.0.0." + std::to_string(i));
    server_.SetAddresses(many);
    EXPECT_EQ(qssRescanIPaddress(), 1);
    EXPECT_EQ(qssSocketCount, 16u);
    EXPECT_EQ(qssSocketTable[15].addr.sin_addr.s_addr, inet_addr("127.0.0.16"));
}

TEST_F(SocketScanTest, ARescanRequestMarksEveryActiveSocketForClosing)
{
    EXPECT_FALSE(qssCheckRescanRequest());
    ASSERT_TRUE(qssCheckSocketSetChange());
    qssRequestRescan();
    EXPECT_TRUE(qssCheckRescanRequest());
    EXPECT_EQ(qssSocketTable[0].state, QSS_SOCKET_CLOSE_PENDING);
    EXPECT_FALSE(qssCheckRescanRequest());
    EXPECT_TRUE(qssCheckSocketSetChange());
    EXPECT_EQ(qssSocketCount, 0u);
}

TEST_F(SocketScanTest, AnEmptyHostNameFailsTheScan)
{
    char saved = qssServerInfo.hostName[0];
    qssServerInfo.hostName[0] = '\0';
    EXPECT_EQ(qssRescanIPaddress(), -1);
    qssServerInfo.hostName[0] = saved;
    // Without a terminator in the field the name is refused too.
    char whole[sizeof(qssServerInfo.hostName)];
    std::memcpy(whole, qssServerInfo.hostName, sizeof(whole));
    std::memset(qssServerInfo.hostName, 'A', sizeof(qssServerInfo.hostName));
    EXPECT_EQ(qssRescanIPaddress(), -1);
    std::memcpy(qssServerInfo.hostName, whole, sizeof(whole));
}

}  // namespace
