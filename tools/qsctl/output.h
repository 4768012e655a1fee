// What qsctl prints: the answers in readable text or as JSON, and the exit
// code that a reply's status stands for.
#pragma once

#include <cstddef>

#include "exchange.h"
#include "json.h"
#include "options.h"

// The exit code of a reply status (QSCTL_EXIT_*).
int QsctlExitForStatus(uint32_t status);

// A PVM ID as lower-case GUID text (in the order QsParsePvmId reads it).
void QsctlFormatPvm(const BYTE* pvmId, char* text, size_t size);

// An IPv4 address (network order) as dotted text.
void QsctlFormatIp(uint32_t address, char* text, size_t size);

// The local time as "YYYY-MM-DD hh:mm:ss.mmm".
void QsctlFormatNow(char* text, size_t size);

// The server information of a QUERY_SERVICE_ACK or SCAN_SERVICE_ACK, or, with
// service NULL, that the server at where did not answer.
void QsctlPrintService(const QSCTL_OPTIONS* options, const char* where, const QSS_SERVICE_REPLY* service);

// The reply to an instance request: its status by number and name, its sequence and
// revision, and the figures of KEEPALIVE_ACK and QUERY_INSTANCE_ACK.
void QsctlPrintInstanceReply(const QSCTL_OPTIONS* options, const QSCTL_SESSION* session, const BYTE* pvmId,
                             DWORD amNumber, const QSCTL_REPLY* reply);

// That the server did not answer an instance request.
void QsctlPrintNoAnswer(const QSCTL_OPTIONS* options, const char* where);

// A fixed-size text field of the protocol as terminated text, cut to outSize.
void QsctlCopyField(char* out, size_t outSize, const char* field, size_t fieldSize);
