// SIGUSR1 asks the peer simulator for the quorum, delivered on the platform
// layer's signal thread, never inside a signal handler.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "am_input.h"
#include "platform/posix/signal_relay.h"

namespace {

void OnAcquireSignal(int)
{
    QsctlAmPost(QSCTL_AM_ACQUIRE);
}

}  // namespace

BOOL QsctlAmRouteAcquireSignal()
{
    int error = dvsignal::Route(SIGUSR1, OnAcquireSignal);
    if (error != 0) {
        std::fprintf(stderr, "qsctl am: cannot route SIGUSR1 (%s)\n", std::strerror(error));
        return FALSE;
    }
    return TRUE;
}
