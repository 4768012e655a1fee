// The two text forms of a PVM ID (16 raw bytes): the GUID text that messages
// show, and the subkey name under which its quorum state is persisted.
#pragma once

#include "platform/win32.h"

// QSS_PVM_ID_SIZE, the size of the raw form.
#include "Qss/net/packet.h"
// 36 characters and the terminator.
#define QSS_GUID_STRING_SIZE 37
// The buffer size for subkey names (the name itself takes 34 characters).
#define QSS_PERSISTENT_SUBKEY_SIZE 256

// "00010203-0405-0607-0809-0a0b0c0d0e0f" for bytes 00 01 .. 0f, bytes in storage
// order. Needs QSS_GUID_STRING_SIZE bytes; fails, reported, on a smaller buffer.
BOOL Qss_PvmIdToGuidString(const BYTE* pvmId, DWORD outSize, char* out);

// "{0f0e0d0c0b0a09080706050403020100}" for bytes 00 01 .. 0f: bytes 8-15 and then
// 0-7, each read as a little-endian 64-bit number. Fails, reported, on a buffer
// of fewer than 35 bytes.
BOOL Qss_PvmIdToPersistentStateSubKey(const BYTE* pvmId, DWORD outSize, char* out);
