// The receive sockets: one UDP socket per IPv4 address of the host, all on the
// receive port, rebuilt by periodic scans of the host's addresses.
//
// A scan only marks entries; the server thread applies the marks at the start
// of its next turn, so it never waits on a socket that is being closed.
#pragma once

#include <atomic>

#include "platform/win32.h"

// Entry states.
constexpr DWORD QSS_SOCKET_ACTIVE = 0;        // bound and receiving
constexpr DWORD QSS_SOCKET_NEW = 1;           // bound by the last scan, active from the next turn
constexpr DWORD QSS_SOCKET_CLOSE_PENDING = 2; // address gone or full rescan requested
constexpr DWORD QSS_SOCKET_BIND_FAILED = 3;   // created, bind failed; retried at later scans

// The most sockets one select set can hold.
constexpr DWORD QSS_MAX_SOCKETS = 64;
// The most host addresses one scan walks.
constexpr DWORD QSS_MAX_IP_ADDRESSES = 16;
// The receive port when QSServerPortForReceive cannot be read.
constexpr DWORD QSS_DEFAULT_RECEIVE_PORT = 4557;
// Receive buffer asked for each socket: room for the requests of some
// thousands of AMs while the server thread is busy making a grant durable.
constexpr int QSS_RECEIVE_BUFFER_SIZE = 4 * 1024 * 1024;

struct QSS_SOCKET_ENTRY {
    DWORD state;
    SOCKET sock;      // INVALID_SOCKET once closed
    SOCKADDR_IN addr; // the local address and port the socket is bound to
};

// The entries in use are always the first qssSocketCount of the table. Only
// the server thread changes the table while it runs.
extern QSS_SOCKET_ENTRY qssSocketTable[QSS_MAX_SOCKETS];
extern DWORD qssSocketCount;
extern BOOL qssSocketSetChanged;
// Raised by the service control handler's thread, cleared by the server thread.
extern std::atomic<BOOL> qssRescanRequested;
// The receive port as decimal text, the service argument of the address lookup.
extern char qssPortString[8];

// Empties the table and clears both flags (at initialisation).
void qssClearSocketTable(void);
// Fixes the receive port and runs the first scan. 1 on success, 0 on failure.
BOOL qssGetMyAddr(void);
// -1 when the scan could not run, 1 when entries wait to be activated or closed, 0 otherwise.
int qssRescanIPaddress(void);
// Applies pending marks: activates new entries, closes and drops vanished ones.
// 1 when there were changes to apply.
BOOL qssCheckSocketSetChange(void);
// On resume from suspend: every socket is closed and bound afresh.
void qssRequestRescan(void);
// Turns a pending rescan request into close marks. 1 when one was pending.
BOOL qssCheckRescanRequest(void);
// Adds the socket of every active entry to the read set; the number of active entries.
DWORD qssAddActiveSockets(fd_set* readSet);
// The first active entry, in table order, whose socket is in the ready set; NULL if none.
const QSS_SOCKET_ENTRY* qssFindReadySocket(const fd_set* readySet);
// At stop: closes every socket still open, reporting failures as the given
// function and line, and empties the table.
void qssCloseAllSockets(const char* function, DWORD line);
