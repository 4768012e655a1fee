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

// 1: a request older than the last one its AM's slot accepted is dropped
// (RequireIncreasingSequences; 0, the default, keeps the retransmission rule alone).
extern DWORD qssRequireIncreasingSequences;

// Reads AllowedPeers into the admission table and RequireIncreasingSequences,
// and traces them. A value that is present but not valid is reported with the
// invalid-parameter event, changes nothing, and gives FALSE.
BOOL qssReadGuardParameters(void);

// At every start, in this order: the host name, the server identity, the
// tuning values, the component record and protocol revision, the restore of
// the persisted quorum holders, and the receive sockets. FALSE fails the start.
BOOL Qss_RetrieveParameters(void);
