// The quorum decision and the server's stop while several threads are at work:
// the quorum timer and the partner's request deciding the same contest, and a
// stop that comes while requests, timer callbacks and address rescans run.
#include <atomic>
#include <thread>

#include "Qss/net/socket_set.h"
#include "support/decision_server.h"
#include "support/eventually.h"
#include "support/quorum_traffic.h"

namespace {

using namespace dvtest;

class QuorumConcurrencyTest : public dvtest::DecisionServerTest {
protected:
    void SetUp() override { ASSERT_TRUE(StartFromRegistry()); }
};

TEST_F(QuorumConcurrencyTest, TheTimerAndThePartnersRequestDecideEachContestOnce)
{
    // AM1 is the healthier, but its window of 0 to 2 ms may close before AM2's
    // request is handled: then AM1 wins alone and AM2 finds a holder. Either
    // way exactly one is granted, both are answered, and the holder persisted
    // is the one granted.
    for (unsigned n = 0; n < 60; ++n) {
        SCOPED_TRACE(n);
        PvmId pvm = MakePvmId(500 + n);
        ASSERT_EQ(am1_.Attach(pvm, 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
        ASSERT_EQ(am2_.Attach(pvm, 2, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
        am1_.SendAcquire(pvm, 1, n % 3, 200, 10);
        am2_.SendAcquire(pvm, 2, n % 2 ? 1 : 60000, 100, 20);
        Reply answer1 = am1_.Receive(5000);
        Reply answer2 = am2_.Receive(5000);
        ASSERT_EQ(answer1.size, 60);
        ASSERT_EQ(answer2.size, 60);
        EXPECT_EQ(answer1.status(), ZEL_K_QS_STATUS_SUCCESS);
        EXPECT_EQ(answer2.status(), ZEL_K_QS_STATUS_QUORUM_DENIED);
        EXPECT_NE(PersistedValues(pvm).find("\"Quorum Holder\"=dword:00000000"), std::string::npos);
        WithInstance(pvm, [](QSS_INSTANCE* record) {
            EXPECT_EQ(record->am[0].bHold, 1);
            EXPECT_EQ(record->am[1].bHold, 0);
            EXPECT_EQ(record->am[0].bVoting, 0);
            EXPECT_EQ(record->am[1].bVoting, 0);
            EXPECT_EQ(record->hQuorumTimeout, nullptr);
        });
    }
}

TEST_F(QuorumConcurrencyTest, AStopDuringTrafficTimersAndRescansEndsCleanlyAndTheStateStartsAgain)
{
    dvtest::QuorumTraffic traffic(server_.port(), dvtest::ServerTarget());
    std::atomic<bool> resuming{true};
    std::atomic<int> rescans{0};
    // Resume from suspend, as the service's control handler raises it, again
    // and again; each leaves the server without sockets for one interval.
    std::thread resume([&] {
        while (resuming) {
            qssRequestRescan();
            ++rescans;
            Sleep(150);
        }
    });
    ASSERT_TRUE(traffic.WaitForReplies(200));
    ASSERT_TRUE(dvtest::Eventually([&] { return rescans > 4; }));
    // Answers go on across the rebinding.
    int before = traffic.replies();
    ASSERT_TRUE(traffic.WaitForReplies(before + 100));

    StopServer();
    resuming = false;
    resume.join();
    traffic.Stop();
    EXPECT_TRUE(dvtest::UdpSocketsOnPort(server_.port()).empty());

    // Whatever was held when the server stopped is restored, and the server answers again.
    ASSERT_TRUE(StartFromRegistry());
    PvmId pvm = MakePvmId(900);
    EXPECT_EQ(am1_.Attach(pvm, 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
}

}  // namespace
