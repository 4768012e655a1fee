// The quorum engine's request handlers, called by the server thread for a
// datagram whose header has passed every check. Each answers with at most one
// reply, through qssSendToAm on sock.
#pragma once

#include "Qss/net/packet.h"
#include "platform/win32.h"

void qssProcessAttachInstance(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
void qssProcessDetachInstance(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
void qssProcessQueryInstance(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
void qssProcessKeepalive(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
void qssProcessAcquireQuorum(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
void qssProcessReleaseQuorum(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);
