// Winsock 2 over BSD sockets. The socket structures are the system's own,
// which match Winsock's in every field the program uses.
//
// The socket error is the thread's errno: the system's socket, bind and select
// leave it there and WSAGetLastError maps it to the Winsock code, so read it
// right after the failing call. Calls are not refused before WSAStartup.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <arpa/inet.h>

#include <concepts>

#include "win32_types.h"

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

// Winsock's fd_set: a count and a list of sockets, so any descriptor fits,
// where the system's is a bitmap of the first 1024. Room for the 64 sockets
// one Winsock select waits on, plus the server's wake-up.
#undef FD_SETSIZE
#define FD_SETSIZE 65
typedef struct DvFdSet {
    u_int fd_count;
    SOCKET fd_array[FD_SETSIZE];
} DvFdSet;
#define fd_set DvFdSet

// The macros as Winsock defines them: FD_SET ignores a socket already in the
// set or a full set, FD_CLR keeps the order of the others.
inline void DvFdSetAdd(SOCKET s, fd_set* set)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) return;
    }
    if (set->fd_count < FD_SETSIZE) set->fd_array[set->fd_count++] = s;
}
inline void DvFdSetRemove(SOCKET s, fd_set* set)
{
    u_int kept = 0;
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] != s) set->fd_array[kept++] = set->fd_array[i];
    }
    set->fd_count = kept;
}
inline int DvFdIsSet(SOCKET s, const fd_set* set)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) return 1;
    }
    return 0;
}
#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#define FD_ZERO(set) ((set)->fd_count = 0)
#define FD_SET(s, set) DvFdSetAdd((SOCKET)(s), (set))
#define FD_CLR(s, set) DvFdSetRemove((SOCKET)(s), (set))
#define FD_ISSET(s, set) DvFdIsSet((SOCKET)(s), (set))

typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* PSOCKADDR;
typedef struct sockaddr* LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
typedef struct sockaddr_in* PSOCKADDR_IN;
typedef struct addrinfo ADDRINFOA;
typedef struct addrinfo* PADDRINFOA;
typedef struct in_addr IN_ADDR;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

#define WSABASEERR 10000
#define WSA_NOT_ENOUGH_MEMORY 8L
#define WSAEINTR 10004L
#define WSAEBADF 10009L
#define WSAEACCES 10013L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAEMFILE 10024L
#define WSAEWOULDBLOCK 10035L
#define WSAEINPROGRESS 10036L
#define WSAEALREADY 10037L
#define WSAENOTSOCK 10038L
#define WSAEDESTADDRREQ 10039L
#define WSAEMSGSIZE 10040L
#define WSAEPROTOTYPE 10041L
#define WSAENOPROTOOPT 10042L
#define WSAEPROTONOSUPPORT 10043L
#define WSAESOCKTNOSUPPORT 10044L
#define WSAEOPNOTSUPP 10045L
#define WSAEPFNOSUPPORT 10046L
#define WSAEAFNOSUPPORT 10047L
#define WSAEADDRINUSE 10048L
#define WSAEADDRNOTAVAIL 10049L
#define WSAENETDOWN 10050L
#define WSAENETUNREACH 10051L
#define WSAENETRESET 10052L
#define WSAECONNABORTED 10053L
#define WSAECONNRESET 10054L
#define WSAENOBUFS 10055L
#define WSAEISCONN 10056L
#define WSAENOTCONN 10057L
#define WSAESHUTDOWN 10058L
#define WSAETIMEDOUT 10060L
#define WSAECONNREFUSED 10061L
#define WSAEHOSTDOWN 10064L
#define WSAEHOSTUNREACH 10065L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSASYSCALLFAILURE 10107L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L
#define WSATYPE_NOT_FOUND 10109L

// Reference-counted like Winsock: every successful start needs its cleanup.
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup(void);
int WSAGetLastError(void);
void WSASetLastError(int iError);
int closesocket(SOCKET s);

// Winsock signatures that the BSD ones do not accept (int lengths, char
// buffers) are overloads with Winsock's contract:
//  - recvfrom (datagram sockets) fails with WSAEMSGSIZE for a datagram larger
//    than the buffer, which then holds its first bytes; the datagram is consumed;
//  - getsockname fails with WSAEFAULT when the address does not fit;
//  - every call leaves its error for WSAGetLastError (errno mapped to WSA codes).
int recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen);
int sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen);
// Lengths of other integer types (sizeof) would make the call ambiguous with
// the system's sendto; this keeps them on Winsock's.
template <std::integral Length, std::integral AddressLength>
inline int sendto(SOCKET s, const char* buf, Length len, int flags, const struct sockaddr* to, AddressLength tolen)
{
    return sendto(s, buf, (int)len, flags, to, (int)tolen);
}
int getsockname(SOCKET s, struct sockaddr* name, int* namelen);
// Winsock's select over poll: nfds is ignored, each set keeps only its ready
// sockets, and the result counts them over all sets. Sets that are all empty
// fail with WSAEINVAL, a descriptor that is not open with WSAENOTSOCK.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const struct timeval* timeout);

// getaddrinfo has the BSD signature, so the program's calls are redirected:
// it consults the hosts-format file named by $DORVANE_HOSTS first and reports
// WSA codes. Results must be freed with the matching freeaddrinfo.
int DvWinsock_getaddrinfo(const char* pNodeName, const char* pServiceName, const struct addrinfo* pHints,
                          struct addrinfo** ppResult);
void DvWinsock_freeaddrinfo(struct addrinfo* pAddrInfo);
#ifndef DV_WINSOCK_IMPLEMENTATION
#define getaddrinfo DvWinsock_getaddrinfo
#define freeaddrinfo DvWinsock_freeaddrinfo
#endif
