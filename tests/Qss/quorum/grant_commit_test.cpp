// Grants answered only once the registry holds them: with the flush held, the
// wire carries no status 0, other requests go on, and a stop leaves the
// waiting grants to the next start. Also the vote whose timer cannot be made.
#include <map>
#include <thread>

#include "platform/posix/faults.h"
#include "support/decision_server.h"
#include "support/eventually.h"

namespace {

using namespace dvtest;

constexpr DWORD kShortWait = 100; // ms: long enough to catch a reply that should not come

class GrantCommitTest : public DecisionServerTest {
protected:
    void TearDown() override
    {
        dvfaults::Set(nullptr);
        DecisionServerTest::TearDown();
    }

    void AttachBoth(const PvmId& pvm, ULONGLONG sequence)
    {
        ASSERT_EQ(am1_.Attach(pvm, 1, kLongTimeout, sequence).status(), ZEL_K_QS_STATUS_SUCCESS);
        ASSERT_EQ(am2_.Attach(pvm, 2, kLongTimeout, sequence).status(), ZEL_K_QS_STATUS_SUCCESS);
    }

    // Holds the flush and waits until the commit thread is inside it, with
    // the lone grant of pvm to AM1 (sequence) waiting on it.
    void HoldFlushWithGrantOf(const PvmId& pvm, ULONGLONG sequence)
    {
        dvfaults::Hold(dvfaults::kRegistryFlush);
        am1_.SendAcquire(pvm, 1, 0, 1, sequence);
        ASSERT_TRUE(Eventually([] { return dvfaults::Waiting(dvfaults::kRegistryFlush) == 1; }));
    }
};

TEST_F(GrantCommitTest, WhileTheFlushIsHeldNoGrantIsAnsweredAndEverythingElseGoesOn)
{
    ASSERT_TRUE(StartFromRegistry());
    const int kPvms = 20;
    for (int i = 0; i < kPvms; ++i) AttachBoth(MakePvmId(100 + i), 1);
    PvmId first = MakePvmId(100);
    HoldFlushWithGrantOf(first, 10);

    // Grants of other PVMs decided meanwhile wait too; a contest's loser is told at once.
    for (int i = 1; i < kPvms - 1; ++i) am1_.SendAcquire(MakePvmId(100 + i), 1, 0, 1, 10 + i);
    PvmId contested = MakePvmId(100 + kPvms - 1);
    am1_.SendAcquire(contested, 1, kLongTimeout, 1, 50);
    ASSERT_TRUE(WaitForInstance(contested, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
    am2_.SendAcquire(contested, 2, kLongTimeout, 2, 51);
    EXPECT_EQ(am1_.Receive().status(), ZEL_K_QS_STATUS_QUORUM_DENIED);
    ASSERT_TRUE(WaitForInstance(MakePvmId(100 + kPvms - 2), [](QSS_INSTANCE* r) { return r->am[0].bHold == 1; }));

    // The winner's retransmission gets nothing yet, a new request of it "voting";
    // keepalives of every AM are answered.
    am1_.SendAcquire(first, 1, 0, 1, 10);
    EXPECT_EQ(am1_.Receive(kShortWait).size, 0);
    am1_.SendAcquire(first, 1, 0, 1, 60);
    EXPECT_EQ(am1_.Receive().status(), ZEL_K_QS_STATUS_VOTING);
    EXPECT_EQ(am1_.Keepalive(first, 1, 61).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am2_.Keepalive(contested, 2, 62).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am2_.Receive(kShortWait).size, 0);
    EXPECT_EQ(dvfaults::Waiting(dvfaults::kRegistryFlush), 1u);

    // Released: every grant is answered once, with its own request's sequence.
    dvfaults::Release(dvfaults::kRegistryFlush);
    std::map<ULONGLONG, Reply> answered;
    for (int i = 0; i < kPvms - 1; ++i) {
        Reply reply = am1_.Receive();
        EXPECT_EQ(reply.status(), ZEL_K_QS_STATUS_SUCCESS);
        answered[reply.header().sequence] = reply;
    }
    EXPECT_EQ(answered.size(), size_t(kPvms - 1));
    EXPECT_EQ(answered.count(10), 1u);
    EXPECT_EQ(answered.count(60), 0u);
    Reply won = am2_.Receive();
    EXPECT_EQ(won.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(won.header().sequence, 51u);
    EXPECT_EQ(am1_.Receive(kShortWait).size, 0);

    // A retransmission now gets the saved ACK, byte for byte.
    am1_.SendAcquire(MakePvmId(101), 1, 0, 1, 11);
    EXPECT_EQ(am1_.Receive(), answered[11]);
}

TEST_F(GrantCommitTest, GrantsWaitingAtAStopAreNotAnsweredAndComeBackAtTheNextStart)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId inFlush = MakePvmId(200);
    PvmId queued = MakePvmId(201);
    AttachBoth(inFlush, 1);
    AttachBoth(queued, 1);
    HoldFlushWithGrantOf(inFlush, 10);
    am1_.SendAcquire(queued, 1, 0, 1, 11);
    ASSERT_TRUE(WaitForInstance(queued, [](QSS_INSTANCE* r) { return r->am[0].bHold == 1; }));

    std::thread stopper([this] { StopServer(); });
    // The server thread is gone only after the stop has begun.
    ASSERT_TRUE(Eventually([this, &inFlush] { return am2_.Keepalive(inFlush, 2, 12, "am-identity", 500).size == 0; }));
    dvfaults::Release(dvfaults::kRegistryFlush);
    stopper.join();
    EXPECT_EQ(am1_.Receive(kShortWait).size, 0);

    ASSERT_TRUE(StartFromRegistry());
    EXPECT_EQ(EventCount("0x4C000017"), 2);
    for (const PvmId& pvm : {inFlush, queued}) {
        AttachBoth(pvm, 20);
        am2_.SendAcquire(pvm, 2, kLongTimeout, 9, 21);
        EXPECT_EQ(am2_.Receive().status(), ZEL_K_QS_STATUS_QUORUM_DENIED);
        am1_.SendAcquire(pvm, 1, 0, 1, 22);
        EXPECT_EQ(am1_.Receive().status(), ZEL_K_QS_STATUS_ALREADY_HOLDING);
    }
}

// A release that comes while the round with its grant writes: it waits for
// the round, then the released grant is deleted and never answered; the
// other grant of the round is answered and restored.
TEST_F(GrantCommitTest, AGrantReleasedWhileItsRoundWritesIsDeletedAndNeverAnswered)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId first = MakePvmId(400);
    PvmId kept = MakePvmId(401);
    PvmId released = MakePvmId(402);
    PvmId other = MakePvmId(403);
    for (const PvmId& pvm : {first, kept, released, other}) AttachBoth(pvm, 1);
    HoldFlushWithGrantOf(first, 10);
    am1_.SendAcquire(kept, 1, 0, 1, 11);
    am1_.SendAcquire(released, 1, 0, 1, 12);
    ASSERT_TRUE(WaitForInstance(released, [](QSS_INSTANCE* r) { return r->am[0].bHold == 1; }));

    // The next round takes both grants and stops inside the first one's writes.
    dvfaults::Hold(dvfaults::kRegistryWrite);
    dvfaults::Release(dvfaults::kRegistryFlush);
    EXPECT_EQ(am1_.Receive().header().sequence, 10u);
    ASSERT_TRUE(Eventually([] { return dvfaults::Waiting(dvfaults::kRegistryWrite) == 1; }));

    // The release waits for the round, with the server thread: a keepalive goes unanswered.
    AmClient releaser(server_.port(), ServerTarget());
    Reply releaseReply;
    std::thread release([&] { releaseReply = releaser.Release(released, 1, 13); });
    ULONGLONG probe = 20;
    ASSERT_TRUE(Eventually([&] { return am2_.Keepalive(other, 2, probe++, "am-identity", kShortWait).size == 0; }));
    dvfaults::Release(dvfaults::kRegistryWrite);
    release.join();
    EXPECT_EQ(releaseReply.status(), ZEL_K_QS_STATUS_SUCCESS);

    Reply answer = am1_.Receive();
    EXPECT_EQ(answer.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(answer.header().sequence, 11u);
    EXPECT_EQ(am1_.Receive(kShortWait).size, 0);
    EXPECT_EQ(PersistedValues(released), "");

    StopServer();
    ASSERT_TRUE(StartFromRegistry());
    EXPECT_TRUE(InstanceExists(kept));
    EXPECT_FALSE(InstanceExists(released));
}

// Without its timer a vote would wait for a partner that may never ask.
TEST_F(GrantCommitTest, AVoteWhoseTimerCannotBeMadeIsEndedWithAnInternalError)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId pvm = MakePvmId(300);
    AttachBoth(pvm, 1);
    // The request re-arms the keepalive timer first, then makes the quorum timer.
    unsigned long before = dvfaults::Injected(dvfaults::kTimerCreate);
    ASSERT_TRUE(dvfaults::Set("timer_create:2"));
    am1_.SendAcquire(pvm, 1, kLongTimeout, 1, 10);
    Reply refused = am1_.Receive();
    EXPECT_EQ(refused.status(), ZEL_K_QS_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(refused.header().sequence, 10u);
    EXPECT_EQ(dvfaults::Injected(dvfaults::kTimerCreate), before + 1);
    WithInstance(pvm, [](QSS_INSTANCE* record) { EXPECT_EQ(record->am[0].bVoting, 0); });

    // The vote is over: the partner's request opens a vote of its own.
    am2_.SendAcquire(pvm, 2, 0, 1, 11);
    EXPECT_EQ(am2_.Receive().status(), ZEL_K_QS_STATUS_SUCCESS);
}

}  // namespace
