// Building the instance requests of a peer (attach, detach, keepalive,
// query, acquire, release) for a session.
#pragma once

#include "exchange.h"
#include "options.h"

// Any instance request, with its length.
struct QSCTL_REQUEST {
    union {
        QSS_PACKET_HEADER header;
        QSS_ATTACH_INSTANCE_REQUEST attach;
        QSS_AM_REQUEST am;
        QSS_QUERY_INSTANCE_REQUEST query;
        QSS_ACQUIRE_QUORUM_REQUEST acquire;
    };
    int length;
};

// The identity a peer puts into its requests: --am-id, or "qsctl-am1" / "qsctl-am2".
void QsctlAmId(const QSCTL_OPTIONS* options, DWORD amNumber, char* amId, size_t size);

// A request of packetType for the PVM, with a new sequence of the session;
// amNumber is ignored for QUERY_INSTANCE. Attach and acquire take their figures from options.
void QsctlBuildRequest(QSCTL_SESSION* session, const QSCTL_OPTIONS* options, uint32_t packetType,
                       const BYTE* pvmId, DWORD amNumber, QSCTL_REQUEST* request);

// Winsock started, a session with the server at host, and its identity asked
// for, as a peer does before naming the server in instance requests. An exit
// code: on anything but QSCTL_EXIT_SUCCESS, nothing is left open and the
// reason was printed; on success the caller closes the session and Winsock.
int QsctlOpenInstanceSession(const char* host, const QSCTL_OPTIONS* options, QSCTL_SESSION* session);
