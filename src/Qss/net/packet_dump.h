// A short decoded form of a datagram for console diagnosis.
#pragma once

#include "Qss/net/packet.h"
#include "platform/win32.h"

// Writes the packet type with its identifying fields, the sequence, the length
// and the AM's address (the sender of a request, the destination of a reply)
// as one trace line, with the body as its data. Only in console tracing; the
// callers decide on the levels.
void qssDumpPacket(const QSS_PACKET_HEADER* datagram, const SOCKADDR_IN* address);
