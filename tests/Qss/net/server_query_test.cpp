// The service queries, answered by the real server over loopback UDP.
#include <cstring>

#include <gtest/gtest.h>

#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "qsclient.h"
#include "support/qss_server.h"

namespace {

void Reseal(BYTE* datagram)
{
    QSS_PACKET_HEADER* header = (QSS_PACKET_HEADER*)datagram;
    header->checksum = 0;
    header->checksum = qssChecksum(datagram, header->length);
}

class ServerQueryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.Start());
        client_ = QsOpenSocket("127.0.0.1");
        ASSERT_NE(client_, INVALID_SOCKET);
        std::memset(&to_, 0, sizeof(to_));
        to_.sin_family = AF_INET;
        to_.sin_port = htons(server_.port());
        to_.sin_addr.s_addr = inet_addr("127.0.0.1");
    }
    void TearDown() override
    {
        closesocket(client_);
        server_.Stop();
    }

    // Sends a datagram and returns the one reply (size 0 when none came within the wait).
    int Exchange(const void* request, int length, BYTE* reply, SOCKADDR_IN* from = nullptr, DWORD waitMs = 2000)
    {
        EXPECT_TRUE(QsSend(client_, &to_, request, length));
        return QsReceive(client_, reply, QSS_MAX_PACKET_SIZE + 1, waitMs, from);
    }

    dvtest::QssServer server_;
    SOCKET client_ = INVALID_SOCKET;
    SOCKADDR_IN to_;
};

TEST_F(ServerQueryTest, QueryServiceIsAnsweredWithTheServerInformation)
{
    QSS_PACKET_HEADER request;
    QsBuildServiceQuery(&request, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 0x1122334455667788ULL);
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    SOCKADDR_IN from;
    int received = Exchange(&request, sizeof(request), reply, &from);

    ASSERT_EQ(received, 259);
    EXPECT_EQ(qssChecksum(reply, 259), 0u);
    QSS_SERVICE_REPLY parsed;
    ASSERT_EQ(QsParseServiceReply(reply, received, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 0x1122334455667788ULL, &parsed),
              QS_REPLY_OK);
    EXPECT_EQ(+parsed.header.protocolRevision, 0x00050000u);
    EXPECT_EQ(+parsed.header.packetType, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE_ACK);
    EXPECT_EQ(+parsed.header.srcComponentId, QSS_COMPONENT_ID_QS);
    EXPECT_EQ(+parsed.header.dstComponentId, QSS_COMPONENT_ID_AM);
    const BYTE zeros[16] = {};
    EXPECT_EQ(std::memcmp(parsed.header.reserved1, zeros, 8), 0);
    EXPECT_EQ(std::memcmp(parsed.header.reserved2, zeros, 16), 0);

    EXPECT_EQ(from.sin_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(ntohs(from.sin_port), server_.port());
    EXPECT_EQ(+parsed.serverInfo.ipAddress, inet_addr("127.0.0.1"));
    EXPECT_EQ(+parsed.serverInfo.port, server_.port());
    EXPECT_EQ(+parsed.serverInfo.protocolMinor, 0);
    EXPECT_EQ(+parsed.serverInfo.protocolMajor, 5);
    EXPECT_EQ(+parsed.serverInfo.activeInstanceCount, 0u);
    EXPECT_STREQ(parsed.serverInfo.hostName, dvtest::QssServer::kHostName);
    EXPECT_STREQ(parsed.serverInfo.serverId, dvtest::QssServer::kServerId);
    EXPECT_EQ(std::memcmp(&parsed.serverInfo.componentInfo, &qssComponentInfo, sizeof(qssComponentInfo)), 0);
    // The kept block itself carries no address: each reply fills in its socket's.
    EXPECT_EQ(+qssServerInfo.ipAddress, 0u);
}

TEST_F(ServerQueryTest, ScanServiceGetsTheSameBodyUnderItsOwnType)
{
    QSS_PACKET_HEADER query;
    QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 1);
    BYTE queryReply[QSS_MAX_PACKET_SIZE + 1];
    ASSERT_EQ(Exchange(&query, sizeof(query), queryReply), 259);

    QSS_PACKET_HEADER scan;
    QsBuildServiceQuery(&scan, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, 2);
    BYTE scanReply[QSS_MAX_PACKET_SIZE + 1];
    int received = Exchange(&scan, sizeof(scan), scanReply);
    QSS_SERVICE_REPLY parsed;
    ASSERT_EQ(QsParseServiceReply(scanReply, received, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, 2, &parsed), QS_REPLY_OK);
    EXPECT_EQ(+parsed.header.packetType, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE_ACK);
    EXPECT_EQ(std::memcmp(queryReply + QSS_PACKET_HEADER_SIZE, scanReply + QSS_PACKET_HEADER_SIZE, 203), 0);
}

TEST_F(ServerQueryTest, OnlyTheMajorVersionOfAServiceQueryCountsAndItsBodyIsIgnored)
{
    QSS_PACKET_HEADER minorOne;
    QsSealRequest(&minorOne, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, sizeof(minorOne), 3, 0x00050001);
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    int received = Exchange(&minorOne, sizeof(minorOne), reply);
    ASSERT_EQ(QsCheckReply(reply, received, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 3), QS_REPLY_OK);
    // The reply carries the server's own version, not the request's.
    QSS_PACKET_HEADER header;
    std::memcpy(&header, reply, sizeof(header));
    EXPECT_EQ(+header.protocolRevision, 0x00050000u);

    BYTE withBody[200];
    std::memset(withBody, 0xA5, sizeof(withBody));
    QsSealRequest((QSS_PACKET_HEADER*)withBody, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, sizeof(withBody), 4,
                  QSS_PROTOCOL_REVISION);
    received = Exchange(withBody, sizeof(withBody), reply);
    EXPECT_EQ(QsCheckReply(reply, received, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, 4), QS_REPLY_OK);
}

TEST_F(ServerQueryTest, EveryHeaderFaultIsCountedAndDroppedAndTheServerGoesOn)
{
    QSS_STATS before;
    Qss_SnapshotStats(&before);

    struct Case {
        const char* what;
        int size;
        void (*spoil)(BYTE* datagram);
    };
    const Case cases[] = {
        {"length field says 60, 56 sent", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->length = 60;
             Reseal(d);
         }},
        {"three bytes", 3, [](BYTE*) {}},
        {"seven bytes", 7, [](BYTE*) {}},
        {"signature", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->signature = 0x51535044;
             Reseal(d);
         }},
        {"checksum", 56, [](BYTE* d) { d[40] ^= 0x10; }},
        {"major 4", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->protocolRevision = 0x00040000;
             Reseal(d);
         }},
        {"source component", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->srcComponentId = QSS_COMPONENT_ID_QS;
             Reseal(d);
         }},
        {"destination component", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->dstComponentId = QSS_COMPONENT_ID_AM;
             Reseal(d);
         }},
        {"type 2", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->packetType = ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE_ACK;
             Reseal(d);
         }},
        {"type 17", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->packetType = ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE;
             Reseal(d);
         }},
        {"type 18", 56,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->packetType = ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE_ACK;
             Reseal(d);
         }},
        {"300 bytes", 300,
         [](BYTE* d) {
             ((QSS_PACKET_HEADER*)d)->length = 300;
             Reseal(d);
         }},
    };
    for (const Case& c : cases) {
        BYTE datagram[300] = {};
        QsSealRequest((QSS_PACKET_HEADER*)datagram, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, c.size < 56 ? 56 : c.size,
                      100, QSS_PROTOCOL_REVISION);
        c.spoil(datagram);
        EXPECT_TRUE(QsSend(client_, &to_, datagram, c.size)) << c.what;
    }

    // Datagrams from one socket to another arrive in order: the first reply
    // is the answer to this query, so none of the faulty ones was answered.
    QSS_PACKET_HEADER query;
    QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 101);
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    int received = Exchange(&query, sizeof(query), reply);
    ASSERT_EQ(QsCheckReply(reply, received, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 101), QS_REPLY_OK);

    QSS_STATS after;
    Qss_SnapshotStats(&after);
    EXPECT_EQ(after.invalidPackets - before.invalidPackets, 4u);
    EXPECT_EQ(after.checksumErrors - before.checksumErrors, 1u);
    EXPECT_EQ(after.versionErrors - before.versionErrors, 1u);
    EXPECT_EQ(after.componentIdErrors - before.componentIdErrors, 2u);
    EXPECT_EQ(after.unrecognizedTypeErrors - before.unrecognizedTypeErrors, 3u);
    EXPECT_EQ(after.recvErrors - before.recvErrors, 1u);
    EXPECT_EQ(after.sendErrors - before.sendErrors, 0u);
}

TEST_F(ServerQueryTest, AShortRequestReadsZerosBeyondItsEndNotThePreviousDatagram)
{
    // A 229-byte datagram fills the buffer; the 56-byte query after it must
    // not see its bytes (it would then be a different request).
    BYTE large[229];
    std::memset(large, 0x5A, sizeof(large));
    QsSealRequest((QSS_PACKET_HEADER*)large, ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE, sizeof(large), 7,
                  QSS_PROTOCOL_REVISION);
    ASSERT_TRUE(QsSend(client_, &to_, large, sizeof(large)));

    // A 20-byte datagram whose length field agrees: the component ids lie
    // beyond its end and read as zero, so it is refused for them.
    QSS_STATS before;
    Qss_SnapshotStats(&before);
    BYTE shortOne[56] = {};
    QsSealRequest((QSS_PACKET_HEADER*)shortOne, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 20, 8, QSS_PROTOCOL_REVISION);
    ASSERT_TRUE(QsSend(client_, &to_, shortOne, 20));

    QSS_PACKET_HEADER query;
    QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 9);
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    int received = Exchange(&query, sizeof(query), reply);
    ASSERT_EQ(QsCheckReply(reply, received, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 9), QS_REPLY_OK);
    QSS_STATS after;
    Qss_SnapshotStats(&after);
    EXPECT_EQ(after.componentIdErrors - before.componentIdErrors, 1u);
}

TEST(ServerTraceTest, RepliesWithEveryTraceAndDumpOnStillFollowTheRules)
{
    // The mask is fixed before the server starts, as the program does.
    DWORD saved = qssTraceFlags;
    qssTraceFlags = 0x7F;
    testing::internal::CaptureStdout();
    dvtest::QssServer server;
    bool started = server.Start();
    SOCKET client = QsOpenSocket("127.0.0.1");
    SOCKADDR_IN to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.port());
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    QSS_PACKET_HEADER scan;
    QsBuildServiceQuery(&scan, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, 77);
    QsSend(client, &to, &scan, sizeof(scan));
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    int received = QsReceive(client, reply, sizeof(reply), 2000, nullptr);
    closesocket(client);
    server.Stop();
    std::string printed = testing::internal::GetCapturedStdout();
    qssTraceFlags = saved;

    ASSERT_TRUE(started);
    EXPECT_EQ(QsCheckReply(reply, received, ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, 77), QS_REPLY_OK);
    EXPECT_NE(printed.find("QS server port for receive: "), std::string::npos);
    EXPECT_NE(printed.find("Creating and binding socket to address(127.0.0.1:"), std::string::npos);
    EXPECT_NE(printed.find("There are 1 IP addresses."), std::string::npos);
    EXPECT_NE(printed.find("Received SCAN_SERVICE packet"), std::string::npos);
    EXPECT_NE(printed.find("\t## SCAN_SERVICE\n"), std::string::npos);
    EXPECT_NE(printed.find("\t## SCAN_SERVICE_ACK\n"), std::string::npos);
    EXPECT_NE(printed.find("Reply to AM (127.0.0.1:"), std::string::npos);
}

}  // namespace
