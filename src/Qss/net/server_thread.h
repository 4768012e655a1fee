// The server thread: the one reader of the receive sockets, and the calls that
// bracket its life in the service's start and stop sequence.
#pragma once

#include "Qss/net/packet.h"
#include "platform/win32.h"

// The timer queue of the keepalive and quorum timeout timers.
extern HANDLE qssHTimerQueue;

// A request handler. The datagram (a QSS_MAX_PACKET_SIZE receive buffer whose
// header has passed every check) and the sender's address are lent for the
// call only. The handler answers through qssSendToAm on sock.
typedef void QSS_REQUEST_HANDLER(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock);

// Starts Winsock, clears the server information block and the socket table,
// initialises the instance lock and creates the timer queue.
BOOL Qss_Initialize(void);
BOOL Qss_StartServerThread(void);
DWORD WINAPI qssServiceThread(LPVOID parameter);
// One received datagram: checks its header and calls the handler of its type;
// a datagram that fails a check is counted, traced and dropped. datagram is a
// QSS_MAX_PACKET_SIZE buffer, zero beyond the received bytes.
void qssProcessDatagram(const BYTE* datagram, int received, const SOCKADDR_IN* source, SOCKET sock);
// Stops the server thread at its next safe point and waits for it to end
// (unless called by the server thread itself), then deletes the timer queue
// waiting for running callbacks, closes the sockets, cleans up Winsock, frees
// every instance and deletes the lock.
void Qss_StopServerThread(DWORD bTerminateThread);
