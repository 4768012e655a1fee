// Who may talk to the server: the AllowedPeers table the start reads, the
// check every received datagram passes before its header is looked at, and
// the warning that reports refused datagrams at most once per interval.
#pragma once

#include "Qss/net/peer_filter.h"
#include "platform/win32.h"

// Empty: every source is admitted. Set once per start, before the server
// thread runs; read only by the server thread afterwards.
extern QSS_PEER_FILTER qssAllowedPeers;

// The shortest time between two refused-peer warnings, in milliseconds.
constexpr DWORD QSS_DEFAULT_REFUSAL_REPORT_INTERVAL = 60000;
extern DWORD qssRefusalReportInterval;

// Replaces the table (the previous one is freed) and forgets any refusals not yet reported.
void qssSetAllowedPeers(QSS_PEER_FILTER* filter);

// TRUE when the datagram's source may be heard. A refused one is counted, and
// reported at once when no report was written within the interval.
BOOL qssAdmitSource(const SOCKADDR_IN* source);

// Writes the warning for refusals not yet reported once the interval since the
// last report has passed (or at once, at the stop); called by the server
// thread once per turn.
void qssReportRefusedPeers(BOOL evenWithinInterval);
