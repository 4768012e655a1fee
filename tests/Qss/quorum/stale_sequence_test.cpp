// A delayed copy of an old request, over loopback UDP: by default taken for a
// new request, as the retransmission rule alone must; with
// RequireIncreasingSequences dropped, so that it cannot undo a later grant.
#include <atomic>

#include "Qss/config/parameters.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "qsinstance.h"
#include "qsquorum.h"
#include "support/decision_server.h"

namespace {

using namespace dvtest;
constexpr DWORD kSilence = 100;

class StaleSequenceTest : public DecisionServerTest {
protected:
    void Start(DWORD rule)
    {
        qssGuardStats.staleRequests = 0;
        ASSERT_TRUE(Qss_RegSetDWORD("RequireIncreasingSequences", rule));
        ASSERT_TRUE(StartFromRegistry());
        ASSERT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
        ASSERT_EQ(am2_.Attach(pvm_, 2, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
    }
    void TearDown() override
    {
        DecisionServerTest::TearDown();
        qssRequireIncreasingSequences = 0;
    }

    // AM1 holds, releases with sequence 3 and holds again with sequence 4;
    // then the copy of its RELEASE with sequence 3 arrives late. The reply to
    // that copy, if any.
    Reply HoldReleaseHoldThenOldRelease()
    {
        Grant(2);
        EXPECT_EQ(am1_.Release(pvm_, 1, 3).status(), ZEL_K_QS_STATUS_SUCCESS);
        Grant(4);
        return Unanswered(ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, 3);
    }

    void Grant(ULONGLONG sequence)
    {
        am1_.SendAcquire(pvm_, 1, 0, 1, sequence);
        Reply ack = am1_.Receive();
        EXPECT_EQ(ack.header().sequence, sequence);
        EXPECT_EQ(ack.status(), ZEL_K_QS_STATUS_SUCCESS);
    }

    // AM2 asks while AM1 was last told that it holds.
    uint32_t PartnerAsks()
    {
        am2_.SendAcquire(pvm_, 2, 0, 1, 2);
        return am2_.Receive().status();
    }

    // A keepalive or attach of AM1 that may go unanswered.
    Reply Unanswered(uint32_t type, ULONGLONG sequence)
    {
        if (type == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE) {
            QSS_ATTACH_INSTANCE_REQUEST attach;
            QsBuildAttachInstance(&attach, sequence, pvm_.bytes, 1, 1000, kLongTimeout, &am1_.target, "am-identity");
            return am1_.Exchange(&attach, sizeof(attach), kSilence);
        }
        QSS_AM_REQUEST request;
        QsBuildAmRequest(&request, type, sequence, pvm_.bytes, 1, &am1_.target, "am-identity");
        return am1_.Exchange(&request, sizeof(request), kSilence);
    }

    static DWORD Stale() { return std::atomic_ref<DWORD>(qssGuardStats.staleRequests).load(); }

    PvmId pvm_ = MakePvmId(23);
};

TEST_F(StaleSequenceTest, ByDefaultALateReleaseUndoesTheLaterGrant)
{
    Start(0);
    EXPECT_EQ(HoldReleaseHoldThenOldRelease().status(), ZEL_K_QS_STATUS_SUCCESS);
    // The known limit of the retransmission rule alone: both AMs are told they hold.
    EXPECT_EQ(PartnerAsks(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Stale(), 0u);
}

TEST_F(StaleSequenceTest, WithTheRuleALateReleaseIsDroppedAndTheHolderKeepsTheQuorum)
{
    Start(1);
    EXPECT_EQ(HoldReleaseHoldThenOldRelease().size, 0);
    EXPECT_EQ(Stale(), 1u);
    EXPECT_EQ(PartnerAsks(), ZEL_K_QS_STATUS_QUORUM_DENIED);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { EXPECT_EQ(record->am[0].bHold, 1); });
}

TEST_F(StaleSequenceTest, WithTheRuleRetransmissionsAreAnsweredAndAFreshAttachStartsAgainAnywhere)
{
    Start(1);
    Reply first = am1_.Keepalive(pvm_, 1, 10);
    ASSERT_EQ(first.status(), ZEL_K_QS_STATUS_SUCCESS);
    // The last request again is a retransmission; an older one is stale, an attach among them too.
    EXPECT_EQ(am1_.Keepalive(pvm_, 1, 10).size, first.size);
    EXPECT_EQ(Unanswered(ZEL_K_QS_PACKET_TYPE_KEEPALIVE, 9).size, 0);
    EXPECT_EQ(Unanswered(ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, 5).size, 0);
    EXPECT_EQ(Stale(), 2u);

    // Detached, the AM restarts its numbering with its next attach.
    EXPECT_EQ(am1_.Detach(pvm_, 1, 11).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.Keepalive(pvm_, 1, 2).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Stale(), 2u);
}

}  // namespace
