// The server's identity: a GUID made once by the install command, kept as
// text in QSServerID and read back at every start.
#pragma once

#include "platform/win32.h"

// A new UUID; failures are printed on the console.
BOOL Qss_GenerateGUID(UUID* uuid);

// The UUID's 36-character text into a zero-filled buffer of outSize bytes;
// TRUE only when the text is exactly 36 characters. Failures are printed on
// the console.
BOOL Qss_GuidToString(UUID* uuid, size_t outSize, char* out);

// Reads QSServerID into qssServerInfo.serverId. TRUE when it is 36
// characters long; nothing else about the text is checked.
BOOL qssGetMyKey(void);
