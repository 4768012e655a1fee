// The quorum requests of an AM (ACQUIRE_QUORUM; RELEASE_QUORUM is built with
// QsBuildAmRequest), for tests and qsctl.
#pragma once

#include "Qss/net/packet.h"
#include "platform/win32.h"
#include "qsinstance.h"

// ACQUIRE_QUORUM, sealed; its length is sizeof(QSS_ACQUIRE_QUORUM_REQUEST).
void QsBuildAcquireQuorum(QSS_ACQUIRE_QUORUM_REQUEST* request, ULONGLONG sequence, const BYTE* pvmId,
                          uint32_t amNumber, uint32_t quorumTimeout, ULONGLONG health, const QS_TARGET* target,
                          const char* amId);
