// Turns signals into calls on one thread of the layer, never inside a signal handler.
//
// Routing a signal blocks it in the calling thread, and so in every thread
// that thread creates afterwards; the relay thread is the only one that takes
// it, so no other thread sees a call interrupted by it. Threads that already
// exist keep their mask: route signals before creating threads.
#pragma once

namespace dvsignal {

typedef void (*SignalCallback)(int signo);

// SIGINT, SIGQUIT, SIGTERM and SIGUSR1 only. Returns 0 or an errno value.
int Route(int signo, SignalCallback callback);
// Gives the signal its default action again.
void Unroute(int signo);
// Gives the signal its default action and delivers it on the relay thread (from a callback).
void RaiseDefault(int signo);

}  // namespace dvsignal
