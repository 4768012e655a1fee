// The packet dump.
#include "Qss/net/packet_dump.h"

#include "Qss/config/pvm_id.h"
#include "Qss/diag/diag.h"

namespace {

// The PVM ID and AM number of a request body; every request carries them at the same offsets.
struct QSS_DUMP_FIELDS {
    char pvmId[QSS_GUID_STRING_SIZE];
    DWORD amNumber;
};

QSS_DUMP_FIELDS qssDumpFields(const QSS_PACKET_HEADER* datagram)
{
    const QSS_AM_REQUEST* request = (const QSS_AM_REQUEST*)datagram;
    QSS_DUMP_FIELDS fields;
    Qss_PvmIdToGuidString(request->pvmId, sizeof(fields.pvmId), fields.pvmId);
    fields.amNumber = request->amNumber;
    return fields;
}

void qssFormatType(const QSS_PACKET_HEADER* datagram, char* text, size_t size)
{
    DWORD type = datagram->packetType;
    switch (type) {
    case ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE: StringCbCopyA(text, size, "\t## QUERY_SERVICE \n"); return;
    case ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE_ACK: StringCbCopyA(text, size, "\t## QUERY_SERVICE_ACK \n"); return;
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE: {
        QSS_DUMP_FIELDS f = qssDumpFields(datagram);
        StringCbPrintfA(text, size, "\t## ATTACH_INSTANCE \n\t## PVM ID: {%s} : AM%u \n", f.pvmId, f.amNumber);
        return;
    }
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK: StringCbCopyA(text, size, "\t## ATTACH_INSTANCE_ACK \n"); return;
    case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE: {
        QSS_DUMP_FIELDS f = qssDumpFields(datagram);
        StringCbPrintfA(text, size, "\t## DETACH_INSTANCE \n\t## PVM ID {%s} : AM%u \n", f.pvmId, f.amNumber);
        return;
    }
    case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE_ACK: StringCbCopyA(text, size, "\t## DETACH_INSTANCE_ACK \n"); return;
    case ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE: StringCbCopyA(text, size, "\t## QUERY_INSTANCE \n"); return;
    case ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE_ACK: StringCbCopyA(text, size, "\t## QUERY_INSTANCE_ACK \n"); return;
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE: {
        QSS_DUMP_FIELDS f = qssDumpFields(datagram);
        StringCbPrintfA(text, size, "\t## KEEPALIVE \n\t## PVM ID {%s} : AM%u \n", f.pvmId, f.amNumber);
        return;
    }
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK: {
        const QSS_KEEPALIVE_REPLY* reply = (const QSS_KEEPALIVE_REPLY*)datagram;
        StringCbPrintfA(text, size, "\t## KEEPALIVE_ACK \n\t## Since last KA AM1 %ums : AM2 %ums \n",
                        (DWORD)reply->sinceLastKeepaliveAm1, (DWORD)reply->sinceLastKeepaliveAm2);
        return;
    }
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM: {
        const QSS_ACQUIRE_QUORUM_REQUEST* request = (const QSS_ACQUIRE_QUORUM_REQUEST*)datagram;
        QSS_DUMP_FIELDS f = qssDumpFields(datagram);
        StringCbPrintfA(text, size, "\t## ACQUIRE_QUORUM \n\t## PVM ID {%s} \n\t## AM%u : quorumTimeout %ums \n",
                        f.pvmId, f.amNumber, (DWORD)request->quorumTimeout);
        return;
    }
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK: StringCbCopyA(text, size, "\t## ACQUIRE_QUORUM_ACK \n"); return;
    case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM: {
        QSS_DUMP_FIELDS f = qssDumpFields(datagram);
        StringCbPrintfA(text, size, "\t## RELEASE_QUORUM \n\t## PVM ID {%s} : AM%u\n", f.pvmId, f.amNumber);
        return;
    }
    case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM_ACK: StringCbCopyA(text, size, "\t## RELEASE_QUORUM_ACK\n"); return;
    case ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE: StringCbCopyA(text, size, "\t## SCAN_SERVICE\n"); return;
    case ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE_ACK: StringCbCopyA(text, size, "\t## SCAN_SERVICE_ACK\n"); return;
    case ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE: StringCbCopyA(text, size, "\t## ENUM_INSTANCE\n"); return;
    case ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE_ACK: StringCbCopyA(text, size, "\t## ENUM_INSTANCE_ACK\n"); return;
    default: StringCbPrintfA(text, size, "\t## Unknown packetType %u (%#X) \n", type, type); return;
    }
}

}  // namespace

void qssDumpPacket(const QSS_PACKET_HEADER* datagram, const SOCKADDR_IN* address)
{
    if (!(qssTraceFlags & QSS_TRACE_CONSOLE)) return;

    const BYTE* b = (const BYTE*)&address->sin_addr.s_addr;
    char location[512];
    StringCbPrintfA(location, sizeof(location),
                    "\t## sequence %llu (0x%llX) : length %u (%#X)\n\t## AM addr: %u.%u.%u.%u:%u\n",
                    datagram->sequence, datagram->sequence, (DWORD)datagram->length, (DWORD)datagram->length, b[0],
                    b[1], b[2], b[3], (unsigned)ntohs(address->sin_port));

    char text[QSS_MAX_MESSAGE];
    qssFormatType(datagram, text, sizeof(text));
    StringCbCatA(text, sizeof(text), location);

    DWORD bodySize = datagram->length > QSS_PACKET_HEADER_SIZE ? datagram->length - QSS_PACKET_HEADER_SIZE : 0;
    // The body never reaches past the datagram's buffer, whatever its length field says.
    if (bodySize > QSS_MAX_PACKET_SIZE - QSS_PACKET_HEADER_SIZE) bodySize = QSS_MAX_PACKET_SIZE - QSS_PACKET_HEADER_SIZE;
    Qss_TraceLog(text, bodySize, bodySize ? (const BYTE*)datagram + QSS_PACKET_HEADER_SIZE : NULL);
}
