// The AM side of the quorum protocol: request builders, reply checks and a
// small datagram transport, for tests and for qsctl.
#pragma once

#include <cstddef>

#include "Qss/net/packet.h"
#include "platform/win32.h"

// Outcome of checking a received datagram against the request it should answer.
enum QS_REPLY_CHECK {
    QS_REPLY_OK,
    QS_REPLY_BAD_LENGTH,     // shorter than a header, or not its own length field
    QS_REPLY_BAD_SIGNATURE,
    QS_REPLY_BAD_CHECKSUM,
    QS_REPLY_BAD_COMPONENTS, // not from the server to an AM
    QS_REPLY_WRONG_TYPE,     // not the reply type of the request
    QS_REPLY_WRONG_SEQUENCE, // answers another request
    QS_REPLY_BAD_SIZE,       // not the size of the expected reply body
};

const char* QsReplyCheckText(QS_REPLY_CHECK check);

// Fills a request header (revision, length, signature, type, component ids,
// sequence, zero reserved bytes) and, last, its checksum over length bytes.
// The body, when there is one, must already follow the header.
void QsSealRequest(QSS_PACKET_HEADER* request, uint32_t packetType, uint32_t length, ULONGLONG sequence,
                   uint32_t protocolRevision);

// QUERY_SERVICE or SCAN_SERVICE: a bare 56-byte header.
void QsBuildServiceQuery(QSS_PACKET_HEADER* request, uint32_t packetType, ULONGLONG sequence);

// Checks the header of a reply to a request of requestType with sequence.
QS_REPLY_CHECK QsCheckReply(const void* datagram, int received, uint32_t requestType, ULONGLONG sequence);

// Checks a QUERY_SERVICE_ACK or SCAN_SERVICE_ACK and copies it out.
QS_REPLY_CHECK QsParseServiceReply(const void* datagram, int received, uint32_t requestType, ULONGLONG sequence,
                                   QSS_SERVICE_REPLY* reply);

// The component name (UTF-16 on the wire) as ASCII text, '?' for anything else.
void QsComponentName(const QSS_SERVER_INFO* info, char* text, size_t size);

// The server information block as readable lines.
void QsFormatServerInfo(const QSS_SERVER_INFO* info, char* text, size_t size);

// An address and port as "a.b.c.d:port".
void QsFormatAddress(const SOCKADDR_IN* address, char* text, size_t size);

// Every IPv4 address of host (a name or dotted address) with port; the number
// found (at most capacity), or -1 when the lookup failed.
int QsResolve(const char* host, WORD port, SOCKADDR_IN* addresses, int capacity);

// A UDP socket bound to an ephemeral port of localAddress (dotted, or NULL for any).
SOCKET QsOpenSocket(const char* localAddress);

BOOL QsSend(SOCKET sock, const SOCKADDR_IN* to, const void* datagram, int length);

// Waits up to timeoutMs for one datagram: its size, 0 on timeout, -1 on error.
int QsReceive(SOCKET sock, void* buffer, int capacity, DWORD timeoutMs, SOCKADDR_IN* from);

// Sends a service query to server and waits for its reply, retransmitting with
// the same sequence up to attempts times. TRUE with the reply on success.
BOOL QsQueryService(SOCKET sock, const SOCKADDR_IN* server, uint32_t packetType, ULONGLONG sequence,
                    DWORD timeoutMs, int attempts, QSS_SERVICE_REPLY* reply);
