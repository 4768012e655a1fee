// The instance record: one per PVM, with a slot for each of its two AMs.
//
// Every field is guarded by qssInstanceLock. The fields after `am` are the
// table's own bookkeeping (index, ageing, timer tickets) and mean nothing to
// the request handlers.
#pragma once

#include "Qss/net/packet.h"
#include "platform/win32.h"

// States of an AM slot, as qssGetAmState classifies it.
constexpr DWORD QSS_AM_STATE_INVALID = 1;
constexpr DWORD QSS_AM_STATE_OFFLINE = 2;
constexpr DWORD QSS_AM_STATE_OFFLINE_HOLDING = 3;
constexpr DWORD QSS_AM_STATE_ONLINE = 4;
constexpr DWORD QSS_AM_STATE_ONLINE_HOLDING = 5;
constexpr DWORD QSS_AM_STATE_ONLINE_VOTING = 6;
constexpr DWORD QSS_AM_STATE_RESEND = 7;

constexpr size_t QSS_AM_ID_SIZE = 37; // 36 characters of GUID text and a NUL

struct QSS_INSTANCE;
struct QSS_TIMER_TICKET;

struct QSS_AM_INFO {
    QSS_INSTANCE* pInstance; // the owning record
    ULONGLONG health;        // of the last ACQUIRE_QUORUM; the higher wins a contested vote
    HANDLE hInstanceTimeout; // keepalive-timeout timer, NULL when none is armed
    DWORD keepaliveInterval; // ms, as announced by the AM; no timing uses it
    DWORD lastKeepaliveTick; // qssGetTick() when the keepalive timer was last armed
    ULONGLONG acquireSequence; // sequence of the pending ACQUIRE_QUORUM
    SOCKET sock;             // receive socket of the AM's last accepted request
    SOCKADDR_IN amAddr;      // the AM's UDP source address
    char amId[QSS_AM_ID_SIZE];
    uint32_t ipAddress;      // network order, as in s_addr
    WORD port;               // host order
    BYTE bOnline;
    BYTE bHold;
    BYTE bVoting;
    BYTE bAwaitingDisk; // granted; its ACK, in lastReply, waits until the registry holds the grant
    BYTE bInCommitRound; // its grant is among those the commit round under way writes and flushes
    BYTE lastReply[QSS_MAX_PACKET_SIZE]; // the last reply built for this AM, for retransmissions
    QSS_TIMER_TICKET* pInstanceTimeoutTicket; // belongs to hInstanceTimeout
    ULONGLONG acceptedSequence; // of the last request handled, for the rule against stale copies
    BYTE bSequenceAccepted;     // 0 until the slot handled a request
};

struct QSS_INSTANCE {
    QSS_INSTANCE* pNext; // next older record in the table's list
    BYTE pvmId[QSS_PVM_ID_SIZE];
    DWORD protocolRevision; // of the last fresh attach; echoed in replies
    DWORD instanceTimeout;  // ms, the due time of every keepalive-timeout timer
    HANDLE hQuorumTimeout;  // NULL when none is armed
    SYSTEMTIME systemTimeAcquired; // UTC, when the quorum was last granted
    QSS_AM_INFO am[2];             // AM1, AM2

    QSS_TIMER_TICKET* pQuorumTimeoutTicket; // belongs to hQuorumTimeout
    QSS_INSTANCE* pPrev;     // next newer record in the list
    QSS_INSTANCE* pHashNext; // next record in the same index bucket
    QSS_TIMER_TICKET* pTickets; // every timer of this record whose callback may still run
    DWORD ageingPosition;    // 1-based place in the ageing queue, 0 when not queued
    ULONGLONG quietSince;    // extended tick from which the record's silence counts
    ULONGLONG creationSerial; // orders records as the list does, newest highest
    QSS_INSTANCE* pCommitNext; // next record with a grant waiting for the disk
    BYTE bCommitQueued;        // in the commit queue: never aged out
    // Values may be in the PVM's subkey: written, or restored, since its last
    // deletion. Once the commit thread runs, changed only with its disk lock
    // held as well.
    BYTE bStateWritten;
};
