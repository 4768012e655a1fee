// The decoded form of datagrams in console diagnosis.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Qss/diag/diag.h"
#include "Qss/net/packet_dump.h"

namespace {

class PacketDumpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = qssTraceFlags;
        std::memset(datagram_, 0, sizeof(datagram_));
        std::memset(&address_, 0, sizeof(address_));
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = inet_addr("10.1.2.3");
        address_.sin_port = htons(5000);
    }
    void TearDown() override { qssTraceFlags = saved_; }

    QSS_PACKET_HEADER* header() { return (QSS_PACKET_HEADER*)datagram_; }

    std::string Dump(DWORD flags)
    {
        qssTraceFlags = flags;
        testing::internal::CaptureStdout();
        qssDumpPacket(header(), &address_);
        return testing::internal::GetCapturedStdout();
    }

    DWORD saved_ = 0;
    BYTE datagram_[QSS_MAX_PACKET_SIZE];
    SOCKADDR_IN address_;
};

TEST_F(PacketDumpTest, AStatusReplyShowsItsTypeSequenceLengthAndAddress)
{
    header()->packetType = ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK;
    header()->sequence = 7;
    header()->length = 60;
    std::string printed = Dump(QSS_TRACE_CONSOLE | QSS_TRACE_LOUD | QSS_TRACE_PACKET_DUMP);
    EXPECT_NE(printed.find("Dorvane: \t## ATTACH_INSTANCE_ACK \n"
                           "\t## sequence 7 (0x7) : length 60 (0X3C)\n"
                           "\t## AM addr: 10.1.2.3:5000\n"),
              std::string::npos)
        << printed;
}

TEST_F(PacketDumpTest, RequestsShowTheirPvmIdAndAmNumber)
{
    QSS_ACQUIRE_QUORUM_REQUEST* acquire = (QSS_ACQUIRE_QUORUM_REQUEST*)datagram_;
    for (int i = 0; i < 16; ++i) acquire->pvmId[i] = (uint8_t)i;
    acquire->amNumber = 2;
    acquire->quorumTimeout = 1500;
    header()->packetType = ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM;
    header()->length = sizeof(QSS_ACQUIRE_QUORUM_REQUEST);
    header()->sequence = 0x1F;
    std::string printed = Dump(QSS_TRACE_CONSOLE);
    EXPECT_NE(printed.find("\t## ACQUIRE_QUORUM \n\t## PVM ID {00010203-0405-0607-0809-0a0b0c0d0e0f} \n"
                           "\t## AM2 : quorumTimeout 1500ms \n\t## sequence 31 (0x1F) : length 233 (0XE9)\n"),
              std::string::npos)
        << printed;

    header()->packetType = ZEL_K_QS_PACKET_TYPE_KEEPALIVE;
    EXPECT_NE(Dump(QSS_TRACE_CONSOLE).find("\t## KEEPALIVE \n\t## PVM ID {00010203-0405-0607-0809-0a0b0c0d0e0f} : AM2 \n"),
              std::string::npos);
    header()->packetType = ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE;
    EXPECT_EQ(Dump(QSS_TRACE_CONSOLE).find("PVM ID"), std::string::npos);
}

TEST_F(PacketDumpTest, KeepaliveRepliesAndUnknownTypes)
{
    QSS_KEEPALIVE_REPLY* reply = (QSS_KEEPALIVE_REPLY*)datagram_;
    reply->sinceLastKeepaliveAm1 = 250;
    reply->sinceLastKeepaliveAm2 = 0xFFFFFFFF;
    header()->packetType = ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK;
    header()->length = 68;
    EXPECT_NE(Dump(QSS_TRACE_CONSOLE).find("\t## KEEPALIVE_ACK \n\t## Since last KA AM1 250ms : AM2 4294967295ms \n"),
              std::string::npos);
    header()->packetType = 42;
    EXPECT_NE(Dump(QSS_TRACE_CONSOLE).find("\t## Unknown packetType 42 (0X2A) \n"), std::string::npos);
}

TEST_F(PacketDumpTest, NothingIsDumpedWithoutConsoleTracing)
{
    header()->packetType = ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE;
    header()->length = 56;
    EXPECT_EQ(Dump(QSS_TRACE_VERBOSE | QSS_TRACE_PACKET_DUMP), "");
}

}  // namespace
