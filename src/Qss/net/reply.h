// Every datagram the server sends, and the answers to the service queries.
#pragma once

#include "Qss/net/packet.h"
#include "platform/win32.h"

// The server's own information block, sent whole in every service query reply.
// Filled at start (host name, identity, protocol, component record, receive
// port); activeInstanceCount changes under qssInstanceLock.
extern QSS_SERVER_INFO qssServerInfo;

// Completes the reply's header (component ids, checksum), traces and dumps it,
// and sends its length bytes from sock to destination. Nothing is retried: the
// AM retransmits. verbose 1 traces at verbose level, 0 at info level.
void qssSendToAm(QSS_PACKET_HEADER* reply, const SOCKADDR_IN* destination, SOCKET sock, BOOL verbose);

// QUERY_SERVICE and SCAN_SERVICE: answered with the server information block,
// its address and port those of the socket that received the query.
void qssProcessQueryService(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
