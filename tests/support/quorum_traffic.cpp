#include "support/quorum_traffic.h"

#include <chrono>

#include "qsquorum.h"
#include "support/am_client.h"
#include "support/eventually.h"

namespace dvtest {

namespace {

// Short enough that a stopped server does not hold a thread up for long.
constexpr DWORD kReplyWaitMs = 20;

}  // namespace

QuorumTraffic::QuorumTraffic(WORD port, const QS_TARGET& target, int threads, unsigned pvmsPerThread)
    : port_(port), target_(target), pvmsPerThread_(pvmsPerThread)
{
    for (int t = 0; t < threads; ++t) threads_.emplace_back([this, t] { Run(t); });
}

QuorumTraffic::~QuorumTraffic() { Stop(); }

void QuorumTraffic::Stop()
{
    running_ = false;
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

bool QuorumTraffic::WaitForReplies(int count)
{
    return Eventually([&] { return replies_ >= count; }, std::chrono::seconds(60));
}

void QuorumTraffic::Run(int thread)
{
    AmClient am1(port_, target_);
    AmClient am2(port_, target_);
    AmClient* ams[2] = {&am1, &am2};
    ULONGLONG sequence = (ULONGLONG)thread << 40;
    auto collect = [&](AmClient* am, int expected) {
        for (int i = 0; i < expected; ++i) {
            if (am->Receive(kReplyWaitMs).size > 0) ++replies_;
        }
    };
    for (unsigned round = 0; running_; ++round) {
        PvmId pvm = MakePvmId(0x7000 + (unsigned)thread * 256 + round % pvmsPerThread_);
        DWORD instanceTimeout = round % 2 ? 3 : 5000;
        for (uint32_t am = 1; am <= 2; ++am) {
            QSS_ATTACH_INSTANCE_REQUEST attach;
            QsBuildAttachInstance(&attach, ++sequence, pvm.bytes, am, 1, instanceTimeout, &target_, "traffic");
            ams[am - 1]->Send(&attach, sizeof attach);
            QSS_AM_REQUEST keepalive;
            QsBuildAmRequest(&keepalive, ZEL_K_QS_PACKET_TYPE_KEEPALIVE, ++sequence, pvm.bytes, am, &target_,
                             "traffic");
            ams[am - 1]->Send(&keepalive, sizeof keepalive);
        }
        collect(&am1, 2);
        collect(&am2, 2);
        // Windows of 0 to 3 ms: the timer and the partner's request race for the decision.
        am1.SendAcquire(pvm, 1, round % 4, 100 + round % 3, ++sequence, "traffic");
        am2.SendAcquire(pvm, 2, (round + 1) % 4, 101, ++sequence, "traffic");
        collect(&am1, 1);
        collect(&am2, 1);
        for (uint32_t am = 1; am <= 2; ++am) {
            QSS_AM_REQUEST release;
            QsBuildAmRequest(&release, ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, ++sequence, pvm.bytes, am, &target_,
                             "traffic");
            ams[am - 1]->Send(&release, sizeof release);
            if (round % 3 == 0) {
                QSS_AM_REQUEST detach;
                QsBuildAmRequest(&detach, ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE, ++sequence, pvm.bytes, am,
                                 &target_, "traffic");
                ams[am - 1]->Send(&detach, sizeof detach);
            }
        }
        collect(&am1, round % 3 == 0 ? 2 : 1);
        collect(&am2, round % 3 == 0 ? 2 : 1);
    }
}

}  // namespace dvtest
