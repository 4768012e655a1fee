// The server's tuning values, read once per start from the Parameters key.
#pragma once

#include "platform/win32.h"

constexpr DWORD QSS_DEFAULT_RESCAN_INTERVAL = 2000;         // ms
constexpr DWORD QSS_DEFAULT_INSTANCE_RETAIN_TIME = 300000;  // ms
constexpr DWORD QSS_DEFAULT_MAX_INSTANCE_NUM = 4000;

// Milliseconds between scans of the host's addresses (RescanIpAddressInterval).
extern DWORD qssRescanInterval;
// Milliseconds an unused instance is kept (InstanceRetainTimeAfterDetach).
extern DWORD qssInstanceRetainTime;
// The most instance records (MaxInstanceNum).
extern DWORD qssMaxInstanceNum;

// At every start, in this order: the host name, the server identity, the
// tuning values, the component record and protocol revision, the restore of
// the persisted quorum holders, and the receive sockets. FALSE fails the start.
BOOL Qss_RetrieveParameters(void);
