// Instance requests of an AM (attach, detach, keepalive, query) and their
// replies in readable form, for tests and qsctl.
#pragma once

#include <cstddef>

#include "Qss/net/packet.h"
#include "platform/win32.h"

// The server an instance request is meant for: host name and server ID as
// QUERY_SERVICE_ACK gave them.
struct QS_TARGET {
    char hostName[68];
    char serverId[40];
};

// Parses GUID text ("00010203-0405-0607-0809-0a0b0c0d0e0f", braces allowed)
// into the 16 PVM ID bytes in text order. FALSE when it is not that form.
BOOL QsParsePvmId(const char* text, BYTE* pvmId);

// The status code's name ("SUCCESS", "NOT_ATTACHED", ...), or "UNKNOWN".
const char* QsStatusName(uint32_t status);

// ATTACH_INSTANCE, sealed; its length is sizeof(QSS_ATTACH_INSTANCE_REQUEST).
void QsBuildAttachInstance(QSS_ATTACH_INSTANCE_REQUEST* request, ULONGLONG sequence, const BYTE* pvmId,
                           uint32_t amNumber, uint32_t keepaliveInterval, uint32_t instanceTimeout,
                           const QS_TARGET* target, const char* amId);

// DETACH_INSTANCE, KEEPALIVE or RELEASE_QUORUM, sealed.
void QsBuildAmRequest(QSS_AM_REQUEST* request, uint32_t packetType, ULONGLONG sequence, const BYTE* pvmId,
                      uint32_t amNumber, const QS_TARGET* target, const char* amId);

// QUERY_INSTANCE, sealed.
void QsBuildQueryInstance(QSS_QUERY_INSTANCE_REQUEST* request, ULONGLONG sequence, const BYTE* pvmId,
                          const QS_TARGET* target);

// A status-bearing reply (status, keepalive or instance reply) as readable lines.
void QsFormatInstanceReply(const void* reply, char* text, size_t size);
