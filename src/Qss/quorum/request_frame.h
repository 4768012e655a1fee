// The frame every AM request handler follows: validation of the request body,
// the AM's address refresh, the reply's header, and the saving and sending of
// the reply. The handlers hold qssInstanceLock around all of it.
#pragma once

#include "Qss/net/packet.h"
#include "Qss/quorum/instance.h"
#include "platform/win32.h"

// Results of qssValidateRequest.
constexpr DWORD QSS_REQUEST_OK = 1;
constexpr DWORD QSS_REQUEST_BAD_AM_NUMBER = 2;
constexpr DWORD QSS_REQUEST_WRONG_SERVER = 3;
constexpr DWORD QSS_REQUEST_BAD_VERSION = 4;

// Version (counted in versionErrors), AM number (invalidPackets) and
// addressed server (invalidPackets without an identity, else
// wrongServerErrors), in that order. The identity's fields are compared
// within their sizes, ignoring case, so an unterminated one never matches.
DWORD qssValidateRequest(const QSS_PACKET_HEADER* request, DWORD amNumber);
// The same without the AM number, for QUERY_INSTANCE.
DWORD qssValidateQueryRequest(const QSS_PACKET_HEADER* request);

// The reply status for a rejected request: 1 for a bad AM number, 11 for a wrong server.
DWORD qssRejectionStatus(DWORD validation);

// The receive trace at its level, and the dump of the request when packet
// dumps and dumpLevel are both on.
void qssTraceRequest(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, DWORD level, const char* text,
                     DWORD dumpLevel);

// Copies an AM identity from a request field of QSS_AM_ID_SIZE bytes that may
// hold no NUL: at most 36 characters, always terminated.
void qssCopyAmId(char* to, const char* field);

// Where the AM is now: its address, the socket its request came in on and its identity.
void qssRefreshAmAddress(QSS_AM_INFO* slot, const SOCKADDR_IN* source, SOCKET sock, const char* amIdField);

// Fills the header of a zeroed QSS_MAX_PACKET_SIZE reply buffer and the
// status that starts every reply body; returns the header.
QSS_PACKET_HEADER* qssBuildReply(BYTE* reply, const QSS_PACKET_HEADER* request, DWORD protocolRevision,
                                 DWORD length, DWORD status);

// Keeps the reply in the slot for retransmissions (when a slot is given) and
// sends it to the request's source through its socket.
void qssSaveAndSendReply(QSS_AM_INFO* slot, BYTE* reply, const SOCKADDR_IN* source, SOCKET sock, BOOL verbose);

// Sends the slot's saved reply again, byte for byte, to the request's source.
void qssResendReply(const QSS_AM_INFO* slot, const SOCKADDR_IN* source, SOCKET sock, BOOL verbose);

// Writes an AM event with the insertion strings AM number, address, [the
// milliseconds given,] identity and PVM GUID text, and the record as data.
void qssLogAmEvent(DWORD eventId, const QSS_AM_INFO* slot, const DWORD* sinceMs);
