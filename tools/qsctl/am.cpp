// am: a peer of a PVM, simulated. It finds the server, attaches, keeps alive,
// asks for and gives back the quorum when told to, and detaches when it quits,
// retransmitting every unanswered request with its sequence as a peer must.
// One request is outstanding at a time; the loop never blocks longer than a
// short poll, so commands are taken as soon as the simulator is idle.
#include <cstring>

#include "am_input.h"
#include "am_report.h"
#include "commands.h"
#include "exchange.h"
#include "output.h"
#include "request.h"

namespace {

constexpr DWORD QSCTL_AM_POLL_MS = 50;

enum QSCTL_AM_PHASE {
    QSCTL_AM_FIND_SERVER,  // the server's identity is not known yet
    QSCTL_AM_ATTACHING,
    QSCTL_AM_ATTACHED,
};

struct QSCTL_AM_PENDING {
    BOOL active;
    QSCTL_REQUEST request;
    DWORD sentAt;
    DWORD waitMs;
    int attempts;
};

struct QSCTL_AM {
    const QSCTL_OPTIONS* options;
    QSCTL_SESSION session;
    QSCTL_AM_REPORTER reporter;
    BYTE pvmId[QSS_PVM_ID_SIZE];
    DWORD amNumber;
    QSCTL_AM_PHASE phase;
    BOOL holding;      // as far as this peer knows
    BOOL unreachable;  // the last request went unanswered
    BOOL quitting;
    BOOL done;
    DWORD nextTry;     // tick of the next service query or attach after a failure
    DWORD lastKeepalive;
    QSCTL_AM_PENDING pending;
};

BOOL Due(DWORD now, DWORD tick)
{
    return (int32_t)(now - tick) >= 0;
}

void Send(QSCTL_AM* am, DWORD extraFirstWaitMs)
{
    QSCTL_AM_PENDING* pending = &am->pending;
    pending->active = TRUE;
    pending->attempts = 1;
    pending->sentAt = GetTickCount();
    DWORD timeout = am->options->timeoutMs;
    pending->waitMs = extraFirstWaitMs > 0xFFFFFFFFul - timeout ? 0xFFFFFFFFul : timeout + extraFirstWaitMs;
    QsSend(am->session.sock, &am->session.server, &pending->request, pending->request.length);
}

void Start(QSCTL_AM* am, uint32_t packetType)
{
    QSCTL_REQUEST* request = &am->pending.request;
    if (packetType == ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE) {
        QsBuildServiceQuery(&request->header, packetType, QsctlNewSequence(&am->session));
        request->length = sizeof(request->header);
    } else {
        QsctlBuildRequest(&am->session, am->options, packetType, am->pvmId, am->amNumber, request);
    }
    Send(am, packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM ? am->options->windowMs : 0);
    if (packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM)
        QsctlAmReport(&am->reporter, "acquiring", "asking for the quorum (health %llu, window %u ms)",
                      am->options->health, am->options->windowMs);
}

void Reachable(QSCTL_AM* am)
{
    if (am->unreachable) QsctlAmReport(&am->reporter, "server-reachable", "server %s answers again", am->session.where);
    am->unreachable = FALSE;
}

void Unreachable(QSCTL_AM* am, const char* what)
{
    QsctlAmReport(&am->reporter, "no-answer", "%s: no answer from %s after %d sends", what, am->session.where,
                  am->pending.attempts);
    if (!am->unreachable) QsctlAmReport(&am->reporter, "server-unreachable", "server %s unreachable", am->session.where);
    am->unreachable = TRUE;
}

// The server no longer takes our identity or attachment: start over from there.
void Restart(QSCTL_AM* am, uint32_t status)
{
    DWORD now = GetTickCount();
    if (status == ZEL_K_QS_STATUS_WRONG_SERVER) {
        QsctlAmReport(&am->reporter, "server-changed", "the server's identity changed (WRONG_SERVER): asking again");
        am->phase = QSCTL_AM_FIND_SERVER;
    } else {
        QsctlAmReport(&am->reporter, "not-attached", "the server no longer knows this peer (NOT_ATTACHED): attaching again");
        am->phase = QSCTL_AM_ATTACHING;
    }
    am->nextTry = now;
}

void OnReply(QSCTL_AM* am, const QSCTL_REPLY* reply)
{
    uint32_t type = am->pending.request.header.packetType;
    QSS_STATUS_REPLY status;
    std::memcpy(&status, reply->bytes, sizeof(status));
    const char* name = QsStatusName(status.status);
    DWORD now = GetTickCount();
    Reachable(am);
    switch (type) {
    case ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE: {
        std::memcpy(&am->session.service, reply->bytes, sizeof(am->session.service));
        const QSS_SERVER_INFO* info = &am->session.service.serverInfo;
        std::memcpy(am->session.target.hostName, info->hostName, sizeof(am->session.target.hostName));
        std::memcpy(am->session.target.serverId, info->serverId, sizeof(am->session.target.serverId));
        char hostName[69];
        char serverId[41];
        QsctlCopyField(hostName, sizeof(hostName), info->hostName, sizeof(info->hostName));
        QsctlCopyField(serverId, sizeof(serverId), info->serverId, sizeof(info->serverId));
        QsctlAmReport(&am->reporter, "server-found", "server %s is %s, identity %s", am->session.where, hostName,
                      serverId);
        am->phase = QSCTL_AM_ATTACHING;
        am->nextTry = now;
        break;
    }
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE:
        if (status.status == ZEL_K_QS_STATUS_SUCCESS) {
            am->phase = QSCTL_AM_ATTACHED;
            am->lastKeepalive = now;
            QsctlAmReport(&am->reporter, "attached", "attached to PVM %s%s", am->reporter.pvm,
                          am->holding ? ", holding the quorum" : "");
        } else if (status.status == ZEL_K_QS_STATUS_WRONG_SERVER) {
            Restart(am, status.status);
        } else {
            QsctlAmReport(&am->reporter, "attach-refused", "attach refused: %s", name);
            am->nextTry = now + am->options->keepaliveIntervalMs;
        }
        break;
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE:
        am->lastKeepalive = now;
        if (status.status == ZEL_K_QS_STATUS_SUCCESS) {
            if (reply->attempts > 1)
                QsctlAmReport(&am->reporter, "keepalive-late", "keepalive answered late, after %d sends",
                              reply->attempts);
        } else if (status.status == ZEL_K_QS_STATUS_NOT_ATTACHED || status.status == ZEL_K_QS_STATUS_WRONG_SERVER) {
            Restart(am, status.status);
        } else {
            QsctlAmReport(&am->reporter, "keepalive-refused", "keepalive refused: %s", name);
        }
        break;
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM:
        am->lastKeepalive = now;
        if (status.status == ZEL_K_QS_STATUS_SUCCESS) {
            am->holding = TRUE;
            QsctlAmReport(&am->reporter, "quorum-granted", "quorum granted");
        } else if (status.status == ZEL_K_QS_STATUS_QUORUM_DENIED) {
            QsctlAmReport(&am->reporter, "quorum-denied", "quorum denied: the partner holds it or won");
        } else if (status.status == ZEL_K_QS_STATUS_ALREADY_HOLDING) {
            am->holding = TRUE;
            QsctlAmReport(&am->reporter, "quorum-held", "quorum already held by this peer");
        } else if (status.status == ZEL_K_QS_STATUS_NOT_ATTACHED || status.status == ZEL_K_QS_STATUS_WRONG_SERVER) {
            Restart(am, status.status);
        } else {
            QsctlAmReport(&am->reporter, "acquire-refused", "acquire refused: %s", name);
        }
        break;
    case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM:
        am->lastKeepalive = now;
        if (status.status == ZEL_K_QS_STATUS_SUCCESS) {
            am->holding = FALSE;
            QsctlAmReport(&am->reporter, "released", "quorum released");
        } else {
            QsctlAmReport(&am->reporter, "release-refused", "release refused: %s", name);
        }
        break;
    case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE:
        if (status.status == ZEL_K_QS_STATUS_SUCCESS) {
            QsctlAmReport(&am->reporter, "detached", "detached%s", am->holding ? ", still holding the quorum" : "");
        } else {
            QsctlAmReport(&am->reporter, "detach-refused", "detach refused: %s", name);
        }
        am->done = TRUE;
        break;
    }
}

void OnNoAnswer(QSCTL_AM* am)
{
    uint32_t type = am->pending.request.header.packetType;
    DWORD now = GetTickCount();
    switch (type) {
    case ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE: Unreachable(am, "query-service"); break;
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE: Unreachable(am, "attach"); break;
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE: Unreachable(am, "keepalive lost"); break;
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM: Unreachable(am, "acquire"); break;
    case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM: Unreachable(am, "release"); break;
    case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE:
        Unreachable(am, "detach");
        am->done = TRUE;
        break;
    }
    am->nextTry = now + am->options->keepaliveIntervalMs;
    am->lastKeepalive = now;
}

// Starts what the peer should do next, when nothing is outstanding.
void Idle(QSCTL_AM* am)
{
    DWORD now = GetTickCount();
    QSCTL_AM_COMMAND command = am->quitting ? QSCTL_AM_NOTHING : QsctlAmTakeCommand();
    if (command == QSCTL_AM_QUIT) {
        am->quitting = TRUE;
        if (am->phase != QSCTL_AM_ATTACHED) {
            QsctlAmReport(&am->reporter, "quit", "quitting");
            am->done = TRUE;
        } else {
            Start(am, ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE);
        }
        return;
    }
    if (command == QSCTL_AM_ACQUIRE || command == QSCTL_AM_RELEASE) {
        if (am->phase != QSCTL_AM_ATTACHED) {
            QsctlAmReport(&am->reporter, "not-ready", "not attached yet: %s ignored",
                          command == QSCTL_AM_ACQUIRE ? "acquire" : "release");
            return;
        }
        Start(am, command == QSCTL_AM_ACQUIRE ? ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM
                                              : ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM);
        return;
    }
    if (am->phase == QSCTL_AM_FIND_SERVER && Due(now, am->nextTry)) {
        Start(am, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE);
    } else if (am->phase == QSCTL_AM_ATTACHING && Due(now, am->nextTry)) {
        Start(am, ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE);
    } else if (am->phase == QSCTL_AM_ATTACHED && now - am->lastKeepalive >= am->options->keepaliveIntervalMs) {
        Start(am, ZEL_K_QS_PACKET_TYPE_KEEPALIVE);
    }
}

// Waits a poll's time for the outstanding request's answer; retransmits it
// with its sequence when its wait is over, and gives up after the retries.
void Poll(QSCTL_AM* am)
{
    QSCTL_AM_PENDING* pending = &am->pending;
    DWORD wait = QSCTL_AM_POLL_MS;
    if (pending->active) {
        DWORD waited = GetTickCount() - pending->sentAt;
        DWORD left = waited >= pending->waitMs ? 0 : pending->waitMs - waited;
        if (left < wait) wait = left;
    }
    QSCTL_REPLY reply;
    SOCKADDR_IN from;
    int received = QsReceive(am->session.sock, reply.bytes, sizeof(reply.bytes), wait, &from);
    if (received > 0 && pending->active && from.sin_addr.s_addr == am->session.server.sin_addr.s_addr &&
        from.sin_port == am->session.server.sin_port &&
        QsCheckReply(reply.bytes, received, pending->request.header.packetType, pending->request.header.sequence) ==
            QS_REPLY_OK &&
        received >= (int)sizeof(QSS_STATUS_REPLY)) {
        reply.size = received;
        reply.attempts = pending->attempts;
        pending->active = FALSE;
        OnReply(am, &reply);
        return;
    }
    if (!pending->active || GetTickCount() - pending->sentAt < pending->waitMs) return;
    if ((DWORD)pending->attempts <= am->options->retries) {
        pending->attempts++;
        pending->sentAt = GetTickCount();
        pending->waitMs = am->options->timeoutMs;
        QsSend(am->session.sock, &am->session.server, &pending->request, pending->request.length);
        return;
    }
    pending->active = FALSE;
    OnNoAnswer(am);
}

}  // namespace

int QsctlRunAm(const QSCTL_OPTIONS* options)
{
    static QSCTL_AM am;
    std::memset(&am, 0, sizeof(am));
    am.options = options;
    if (!QsctlParsePvm(options->command, options->positionals[1], am.pvmId)) return QSCTL_EXIT_BAD_ARGUMENTS;
    if (!QsctlParseAm(options->command, options->positionals[2], &am.amNumber)) return QSCTL_EXIT_BAD_ARGUMENTS;
    am.reporter.json = options->json;
    am.reporter.amNumber = am.amNumber;
    QsctlFormatPvm(am.pvmId, am.reporter.pvm, sizeof(am.reporter.pvm));

    if (!QsctlAmStartInput()) return QSCTL_EXIT_LOCAL_FAILURE;
    if (!QsctlStartWinsock()) return QSCTL_EXIT_LOCAL_FAILURE;
    int result = QsctlConnect(options->positionals[0], options, &am.session);
    if (result != QSCTL_EXIT_SUCCESS) {
        WSACleanup();
        return result;
    }
    am.phase = QSCTL_AM_FIND_SERVER;
    am.nextTry = GetTickCount();
    while (!am.done) {
        if (!am.pending.active) Idle(&am);
        if (!am.done) Poll(&am);
    }
    QsctlCloseSession(&am.session);
    WSACleanup();
    return QSCTL_EXIT_SUCCESS;
}
