// Random (version 4) UUIDs and their RPC string form.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "platform/win32.h"

namespace {

bool readRandomBytes(void* buffer, size_t size)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, out + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += (size_t)got;
    }
    close(fd);
    return done == size;
}

}  // namespace

RPC_STATUS UuidCreate(UUID* Uuid)
{
    if (!Uuid) return RPC_S_INVALID_ARG;
    UUID made;
    if (!readRandomBytes(&made, sizeof(made))) return RPC_S_UUID_NO_ADDRESS;
    made.Data3 = (uint16_t)((made.Data3 & 0x0FFF) | 0x4000);   // version 4: random
    made.Data4[0] = (uint8_t)((made.Data4[0] & 0x3F) | 0x80);  // the RFC 4122 variant
    *Uuid = made;
    return RPC_S_OK;
}

RPC_STATUS UuidToStringA(const UUID* Uuid, RPC_CSTR* StringUuid)
{
    if (!StringUuid) return RPC_S_INVALID_ARG;
    static const UUID nil = {};
    const UUID& u = Uuid ? *Uuid : nil;
    const size_t size = 37;
    char* text = static_cast<char*>(malloc(size));
    if (!text) return RPC_S_OUT_OF_MEMORY;
    snprintf(text, size, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", (unsigned)u.Data1, (unsigned)u.Data2,
             (unsigned)u.Data3, u.Data4[0], u.Data4[1], u.Data4[2], u.Data4[3], u.Data4[4], u.Data4[5], u.Data4[6],
             u.Data4[7]);
    *StringUuid = reinterpret_cast<RPC_CSTR>(text);
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* String)
{
    if (!String) return RPC_S_INVALID_ARG;
    free(*String);
    *String = nullptr;
    return RPC_S_OK;
}
