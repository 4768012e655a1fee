// Quorum traffic against a server on 127.0.0.1, from several AM threads at
// once, for the tests of what happens while requests keep arriving: each
// thread works its own PVMs in turn, both AMs attaching (every other round with
// an instance timeout of a few milliseconds, so that keepalive timers run out),
// sending keepalives and contesting the quorum with voting windows of a few
// milliseconds, so that decisions come from the quorum timer and from the
// partner's request alike, then releasing and detaching.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "qsinstance.h"

namespace dvtest {

class QuorumTraffic {
public:
    QuorumTraffic(WORD port, const QS_TARGET& target, int threads = 3, unsigned pvmsPerThread = 4);
    ~QuorumTraffic();
    QuorumTraffic(const QuorumTraffic&) = delete;
    QuorumTraffic& operator=(const QuorumTraffic&) = delete;

    // Ends every thread; what is in flight is abandoned.
    void Stop();
    // Polls until this many replies have come since the traffic started.
    bool WaitForReplies(int count);
    int replies() const { return replies_; }

private:
    void Run(int thread);

    WORD port_;
    QS_TARGET target_;
    unsigned pvmsPerThread_;
    std::atomic<bool> running_{true};
    std::atomic<int> replies_{0};
    std::vector<std::thread> threads_;
};

}  // namespace dvtest
