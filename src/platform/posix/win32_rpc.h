// UUIDs as the RPC runtime gives them.
#pragma once

#include "win32_types.h"

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, UUID;
typedef GUID* LPGUID;

typedef LONG RPC_STATUS;
typedef unsigned char* RPC_CSTR;

#define RPC_S_OK 0
#define RPC_S_OUT_OF_MEMORY 14
#define RPC_S_INVALID_ARG 87
#define RPC_S_UUID_NO_ADDRESS 1739
#define RPC_S_UUID_LOCAL_ONLY 1824

// A random (version 4) UUID; RPC_S_UUID_NO_ADDRESS when no random bytes can be had.
RPC_STATUS UuidCreate(UUID* Uuid);
// 36 lower-case characters, 8-4-4-4-12 (Data1, Data2, Data3, Data4); a null
// UUID is the nil UUID. Free with RpcStringFreeA.
RPC_STATUS UuidToStringA(const UUID* Uuid, RPC_CSTR* StringUuid);
RPC_STATUS RpcStringFreeA(RPC_CSTR* String);
