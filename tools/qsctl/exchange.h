// One server conversation: the socket, the server's address and identity, the
// sequence numbers, and requests retransmitted until they are answered.
#pragma once

#include "options.h"
#include "platform/win32.h"
#include "qsclient.h"
#include "qsinstance.h"

struct QSCTL_SESSION {
    SOCKET sock;
    SOCKADDR_IN server;
    char where[32];  // "a.b.c.d:port" of the server
    ULONGLONG nextSequence;
    DWORD timeoutMs;
    DWORD retries;
    QSS_SERVICE_REPLY service;  // the server's last QUERY_SERVICE_ACK
    QS_TARGET target;           // the identity every instance request names
};

// A received reply; size 0 when none came.
struct QSCTL_REPLY {
    int size;
    int attempts;  // how many times the request was sent
    alignas(8) BYTE bytes[QSS_MAX_PACKET_SIZE + 1];
};

// WSAStartup 2.2; FALSE after a message on stderr.
BOOL QsctlStartWinsock();

// A socket and a first sequence number (random, so that two runs never share
// one), the server at server. FALSE after a message on stderr.
BOOL QsctlOpenSession(const SOCKADDR_IN* server, const QSCTL_OPTIONS* options, QSCTL_SESSION* session);
void QsctlCloseSession(QSCTL_SESSION* session);

// The sequence of a new request: never that of an earlier one.
ULONGLONG QsctlNewSequence(QSCTL_SESSION* session);

// Sends request (whose header holds its type and sequence) and waits for the
// reply of that type and sequence from the server, retransmitting the same
// bytes after each unanswered wait, at most session->retries times. The first
// wait is extraFirstWaitMs longer (the voting window of ACQUIRE_QUORUM).
// TRUE with the reply; FALSE with reply->size 0 when none came.
BOOL QsctlExchange(QSCTL_SESSION* session, const void* request, int length, DWORD extraFirstWaitMs,
                   QSCTL_REPLY* reply);

// Asks the server for its information (QUERY_SERVICE or SCAN_SERVICE) into
// session->service and session->target.
BOOL QsctlQueryService(QSCTL_SESSION* session, uint32_t packetType);

// Resolves host (the first address) and opens a session with options->port.
// An exit code: QSCTL_EXIT_SUCCESS or QSCTL_EXIT_LOCAL_FAILURE, after a message.
int QsctlConnect(const char* host, const QSCTL_OPTIONS* options, QSCTL_SESSION* session);
