// Winsock 2 over BSD sockets.
//
// The socket error lives in errno, which is per thread: the system's own
// socket, bind and select leave it there, and WSAGetLastError maps it to the
// Winsock code. Codes without an errno equivalent are stored in errno as the
// Winsock code itself (no errno value reaches 10000).
#define DV_WINSOCK_IMPLEMENTATION

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <strings.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/faults.h"
#include "platform/win32.h"

namespace {

std::mutex startupLock;
int startupCount = 0;

const WORD supportedVersion = MAKEWORD(2, 2);

int wsaErrorFromErrno(int err)
{
    if (err == 0 || err >= WSABASEERR) return err;
    switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF:  // Winsock knows only sockets: a bad descriptor is not a socket
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSASYSCALLFAILURE;
    }
}

int failWith(int wsaError)
{
    WSASetLastError(wsaError);
    return SOCKET_ERROR;
}

int wsaErrorFromResolver(int status)
{
    switch (status) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return WSANO_DATA;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_MEMORY: return WSA_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM: return wsaErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
    }
}

// Every result node is one malloc'd block (node, address, canonical name),
// whether it came from the hosts file or the system's resolver, so one
// freeaddrinfo frees both.
struct addrinfo* newResultNode(int family, int socktype, int protocol, const struct sockaddr* addr,
                               socklen_t addrlen, const char* canonname)
{
    size_t nameSize = canonname ? strlen(canonname) + 1 : 0;
    char* block = static_cast<char*>(calloc(1, sizeof(struct addrinfo) + addrlen + nameSize));
    if (!block) return nullptr;
    struct addrinfo* node = reinterpret_cast<struct addrinfo*>(block);
    node->ai_family = family;
    node->ai_socktype = socktype;
    node->ai_protocol = protocol;
    node->ai_addrlen = addrlen;
    node->ai_addr = reinterpret_cast<struct sockaddr*>(block + sizeof(struct addrinfo));
    memcpy(node->ai_addr, addr, addrlen);
    if (canonname) {
        node->ai_canonname = block + sizeof(struct addrinfo) + addrlen;
        memcpy(node->ai_canonname, canonname, nameSize);
    }
    return node;
}

void freeResultList(struct addrinfo* list)
{
    while (list) {
        struct addrinfo* next = list->ai_next;
        free(list);
        list = next;
    }
}

struct HostsEntry {
    std::vector<in_addr> addresses;
    std::string canonicalName;
};

// Every IPv4 address listed for the name in the hosts-format file, in file
// order. Lines are "ADDRESS NAME [ALIASES...]"; '#' starts a comment.
HostsEntry lookUpHostsFile(const char* path, const char* name)
{
    HostsEntry entry;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string address;
        std::string word;
        if (!(words >> address)) continue;
        in_addr parsed;
        if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) continue;
        std::string firstName;
        bool matches = false;
        while (words >> word) {
            if (firstName.empty()) firstName = word;
            if (strcasecmp(word.c_str(), name) == 0) matches = true;
        }
        if (!matches) continue;
        if (entry.addresses.empty()) entry.canonicalName = firstName;
        entry.addresses.push_back(parsed);
    }
    return entry;
}

bool parseNumericService(const char* service, uint16_t* port)
{
    if (!service) {
        *port = 0;
        return true;
    }
    if (!*service) return false;
    unsigned long value = 0;
    for (const char* p = service; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (unsigned long)(*p - '0');
        if (value > 65535) return false;
    }
    *port = (uint16_t)value;
    return true;
}

struct SocketKind {
    int socktype;
    int protocol;
};

// The results of one listed name: every address, per address every socket
// kind the hints allow (all three when they name none, as the resolver does).
int resultsFromHostsEntry(const HostsEntry& entry, const char* service, const struct addrinfo* hints,
                          struct addrinfo** result)
{
    uint16_t port;
    if (!parseNumericService(service, &port)) return WSATYPE_NOT_FOUND;
    std::vector<SocketKind> kinds;
    int socktype = hints ? hints->ai_socktype : 0;
    int protocol = hints ? hints->ai_protocol : 0;
    if (socktype == 0 || socktype == SOCK_STREAM) kinds.push_back({SOCK_STREAM, protocol ? protocol : IPPROTO_TCP});
    if (socktype == 0 || socktype == SOCK_DGRAM) kinds.push_back({SOCK_DGRAM, protocol ? protocol : IPPROTO_UDP});
    if (socktype == 0 || socktype == SOCK_RAW) kinds.push_back({SOCK_RAW, protocol});
    if (kinds.empty()) return WSAESOCKTNOSUPPORT;
    bool wantsCanonicalName = hints && (hints->ai_flags & AI_CANONNAME);

    struct addrinfo* head = nullptr;
    struct addrinfo** tail = &head;
    for (const in_addr& address : entry.addresses) {
        struct sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr = address;
        for (const SocketKind& kind : kinds) {
            const char* canonname = wantsCanonicalName && !head ? entry.canonicalName.c_str() : nullptr;
            struct addrinfo* node = newResultNode(AF_INET, kind.socktype, kind.protocol,
                                                  reinterpret_cast<const struct sockaddr*>(&sin), sizeof(sin),
                                                  canonname);
            if (!node) {
                freeResultList(head);
                return WSA_NOT_ENOUGH_MEMORY;
            }
            *tail = node;
            tail = &node->ai_next;
        }
    }
    *result = head;
    return 0;
}

int resultsFromResolver(const char* node, const char* service, const struct addrinfo* hints,
                        struct addrinfo** result)
{
    struct addrinfo* found = nullptr;
    int status = getaddrinfo(node, service, hints, &found);
    if (status != 0) return wsaErrorFromResolver(status);
    struct addrinfo* head = nullptr;
    struct addrinfo** tail = &head;
    for (struct addrinfo* p = found; p; p = p->ai_next) {
        struct addrinfo* copy =
            newResultNode(p->ai_family, p->ai_socktype, p->ai_protocol, p->ai_addr, p->ai_addrlen, p->ai_canonname);
        if (!copy) {
            freeResultList(head);
            freeaddrinfo(found);
            return WSA_NOT_ENOUGH_MEMORY;
        }
        copy->ai_flags = p->ai_flags;
        *tail = copy;
        tail = &copy->ai_next;
    }
    freeaddrinfo(found);
    *result = head;
    return 0;
}

}  // namespace

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    if (!lpWSAData) {
        WSASetLastError(WSAEFAULT);
        return WSAEFAULT;
    }
    memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wHighVersion = supportedVersion;
    BYTE major = LOBYTE(wVersionRequested);
    BYTE minor = HIBYTE(wVersionRequested);
    bool aboveSupported = major > 2 || (major == 2 && minor >= 2);
    lpWSAData->wVersion = aboveSupported ? supportedVersion : wVersionRequested;
    snprintf(lpWSAData->szDescription, sizeof(lpWSAData->szDescription), "WinSock 2.0");
    snprintf(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), "Running");
    if (major < 1) {
        WSASetLastError(WSAVERNOTSUPPORTED);
        return WSAVERNOTSUPPORTED;
    }
    std::lock_guard<std::mutex> hold(startupLock);
    ++startupCount;
    return 0;
}

int WSACleanup(void)
{
    std::lock_guard<std::mutex> hold(startupLock);
    if (startupCount == 0) return failWith(WSANOTINITIALISED);
    --startupCount;
    return 0;
}

int WSAGetLastError(void) { return wsaErrorFromErrno(errno); }

void WSASetLastError(int iError) { errno = iError; }

int closesocket(SOCKET s)
{
    struct stat st;
    if (fstat(s, &st) != 0 || !S_ISSOCK(st.st_mode)) return failWith(WSAENOTSOCK);
    // Linux releases the descriptor even when close is interrupted.
    if (close(s) != 0 && errno != EINTR) return SOCKET_ERROR;
    return 0;
}

int recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen)
{
    if (len < 0 || (from && (!fromlen || *fromlen < 0))) return failWith(WSAEFAULT);
    socklen_t addressLength = from ? (socklen_t)*fromlen : 0;
    ssize_t received;
    // MSG_TRUNC makes the call report the datagram's real length, so that a
    // datagram larger than the buffer fails as on Windows; it is consumed all the same.
    do {
        received = ::recvfrom(s, buf, (size_t)len, flags | MSG_TRUNC, from, from ? &addressLength : nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return SOCKET_ERROR;
    if (from) *fromlen = (int)std::min<socklen_t>(addressLength, (socklen_t)*fromlen);
    if (received > len) return failWith(WSAEMSGSIZE);
    return (int)received;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen)
{
    if (len < 0 || tolen < 0) return failWith(WSAEFAULT);
    ssize_t sent;
    do {
        sent = ::sendto(s, static_cast<const void*>(buf), (size_t)len, flags | MSG_NOSIGNAL, to, (socklen_t)tolen);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? SOCKET_ERROR : (int)sent;
}

int getsockname(SOCKET s, struct sockaddr* name, int* namelen)
{
    if (!name || !namelen || *namelen < 0) return failWith(WSAEFAULT);
    struct sockaddr_storage address;
    socklen_t length = sizeof(address);
    if (::getsockname(s, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) return SOCKET_ERROR;
    // Winsock refuses a buffer too small rather than cutting the address.
    if ((int)length > *namelen) return failWith(WSAEFAULT);
    memcpy(name, &address, length);
    *namelen = (int)length;
    return 0;
}

int DvWinsock_getaddrinfo(const char* pNodeName, const char* pServiceName, const struct addrinfo* pHints,
                          struct addrinfo** ppResult)
{
    if (!ppResult) {
        WSASetLastError(WSAEINVAL);
        return WSAEINVAL;
    }
    *ppResult = nullptr;
    const char* hostsPath = getenv("DORVANE_HOSTS");
    bool hostsApply = hostsPath && *hostsPath && pNodeName &&
                      (!pHints || ((pHints->ai_family == AF_UNSPEC || pHints->ai_family == AF_INET) &&
                                   !(pHints->ai_flags & AI_NUMERICHOST)));
    int status;
    HostsEntry entry;
    if (hostsApply) entry = lookUpHostsFile(hostsPath, pNodeName);
    if (!entry.addresses.empty()) {
        status = resultsFromHostsEntry(entry, pServiceName, pHints, ppResult);
    } else {
        status = resultsFromResolver(pNodeName, pServiceName, pHints, ppResult);
    }
    WSASetLastError(status);
    return status;
}

void DvWinsock_freeaddrinfo(struct addrinfo* pAddrInfo) { freeResultList(pAddrInfo); }

namespace {

// Ready for what the set asks: data, or an error or hang-up that a receive
// reports at once, as Winsock counts a socket readable then.
const short readReady = POLLIN | POLLERR | POLLHUP;
const short writeReady = POLLOUT | POLLERR | POLLHUP;

struct SelectSet {
    fd_set* set;
    short events;
    short ready;
};

int timeoutMs(const struct timeval* timeout)
{
    if (!timeout) return -1;
    long long ms = (long long)timeout->tv_sec * 1000 + (timeout->tv_usec + 999) / 1000;
    return ms < 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : (int)ms;
}

long long monotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const struct timeval* timeout)
{
    SelectSet sets[3] = {{readfds, POLLIN, readReady}, {writefds, POLLOUT, writeReady}, {exceptfds, POLLPRI, POLLPRI}};
    struct pollfd fds[3 * FD_SETSIZE];
    nfds_t count = 0;
    for (const SelectSet& s : sets) {
        if (!s.set) continue;
        for (u_int i = 0; i < s.set->fd_count && i < FD_SETSIZE; ++i) {
            fds[count++] = {s.set->fd_array[i], s.events, 0};
        }
    }
    if (count == 0) return failWith(WSAEINVAL);
    if (int injected = dvfaults::Check(dvfaults::kSelect)) return failWith(wsaErrorFromErrno(injected));

    int wait = timeoutMs(timeout);
    const long long deadline = monotonicMs() + wait;
    int polled;
    // A signal is no reason to give up the wait: the server stops on a failed select.
    while ((polled = poll(fds, count, wait)) < 0 && errno == EINTR) {
        if (wait > 0) wait = (int)std::max(0LL, deadline - monotonicMs());
    }
    if (polled < 0) return failWith(wsaErrorFromErrno(errno));
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents & POLLNVAL) return failWith(WSAENOTSOCK);
    }

    int ready = 0;
    nfds_t next = 0;
    for (const SelectSet& s : sets) {
        if (!s.set) continue;
        u_int kept = 0;
        for (u_int i = 0; i < s.set->fd_count && i < FD_SETSIZE; ++i, ++next) {
            if (fds[next].revents & s.ready) s.set->fd_array[kept++] = s.set->fd_array[i];
        }
        s.set->fd_count = kept;
        ready += (int)kept;
    }
    return ready;
}
