#include "support/am_client.h"

#include <gtest/gtest.h>

#include "qsclient.h"
#include "qsquorum.h"
#include "support/qss_server.h"

namespace dvtest {

PvmId MakePvmId(unsigned n)
{
    PvmId id;
    for (unsigned i = 0; i < QSS_PVM_ID_SIZE; ++i) id.bytes[i] = (BYTE)((n >> (8 * (i % 4))) + i * 17);
    return id;
}

QS_TARGET ServerTarget()
{
    QS_TARGET target = {};
    StringCbCopyA(target.hostName, sizeof(target.hostName), QssServer::kHostName);
    StringCbCopyA(target.serverId, sizeof(target.serverId), QssServer::kServerId);
    return target;
}

AmClient::AmClient(WORD port, const QS_TARGET& serverTarget, const char* localAddress)
    : target(serverTarget), sock_(QsOpenSocket(localAddress))
{
    EXPECT_NE(sock_, INVALID_SOCKET);
    memset(&server_, 0, sizeof(server_));
    server_.sin_family = AF_INET;
    server_.sin_port = htons(port);
    server_.sin_addr.s_addr = inet_addr("127.0.0.1");
}

AmClient::~AmClient() { closesocket(sock_); }

Reply AmClient::Exchange(const void* datagram, int length, DWORD waitMs)
{
    Send(datagram, length);
    return Receive(waitMs);
}

void AmClient::Send(const void* datagram, int length) { EXPECT_TRUE(QsSend(sock_, &server_, datagram, length)); }

Reply AmClient::Receive(DWORD waitMs)
{
    Reply reply;
    int received = QsReceive(sock_, reply.bytes, sizeof(reply.bytes), waitMs, nullptr);
    reply.size = received > 0 ? received : 0;
    return reply;
}

void AmClient::SendAcquire(const PvmId& pvm, uint32_t amNumber, uint32_t quorumTimeout, ULONGLONG health,
                           ULONGLONG sequence, const char* amId)
{
    QSS_ACQUIRE_QUORUM_REQUEST request;
    QsBuildAcquireQuorum(&request, sequence, pvm.bytes, amNumber, quorumTimeout, health, &target, amId);
    Send(&request, sizeof(request));
}

Reply AmClient::Release(const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, const char* amId)
{
    QSS_AM_REQUEST request;
    QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, sequence, pvm.bytes, amNumber, &target, amId);
    return Exchange(&request, sizeof(request));
}

Reply AmClient::Attach(const PvmId& pvm, uint32_t amNumber, uint32_t instanceTimeout, ULONGLONG sequence,
                       const char* amId)
{
    QSS_ATTACH_INSTANCE_REQUEST request;
    QsBuildAttachInstance(&request, sequence, pvm.bytes, amNumber, 1000, instanceTimeout, &target, amId);
    return Exchange(&request, sizeof(request));
}

Reply AmClient::Detach(const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, const char* amId)
{
    QSS_AM_REQUEST request;
    QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE, sequence, pvm.bytes, amNumber, &target, amId);
    return Exchange(&request, sizeof(request));
}

Reply AmClient::Keepalive(const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, const char* amId, DWORD waitMs)
{
    QSS_AM_REQUEST request;
    QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_KEEPALIVE, sequence, pvm.bytes, amNumber, &target, amId);
    return Exchange(&request, sizeof(request), waitMs);
}

Reply AmClient::Query(const PvmId& pvm, ULONGLONG sequence)
{
    QSS_QUERY_INSTANCE_REQUEST request;
    QsBuildQueryInstance(&request, sequence, pvm.bytes, &target);
    return Exchange(&request, sizeof(request));
}

uint32_t AmClient::ActiveInstanceCount()
{
    QSS_SERVICE_REPLY reply;
    EXPECT_TRUE(QsQueryService(sock_, &server_, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 0xA11CE, 2000, 3, &reply));
    return reply.serverInfo.activeInstanceCount;
}

SOCKADDR_IN AmClient::local() const
{
    SOCKADDR_IN address = {};
    socklen_t size = sizeof(address);
    getsockname(sock_, (sockaddr*)&address, &size);
    return address;
}

}  // namespace dvtest
