// Keepalives and their timeouts over loopback UDP against the real server.
#include "Qss/net/reply.h"
#include "support/quorum_server.h"

namespace {

using namespace dvtest;
constexpr DWORD kShortTimeout = 200;

class KeepaliveTest : public dvtest::QuorumServerTest {
protected:
    void SetUp() override { StartServer(); }

    // AM2 keeps talking while AM1 is silent; true once AM1 is OFFLINE.
    bool Am1TimesOutWhileAm2Talks()
    {
        bool am1Offline = false;
        for (int i = 0; i < 1000 && !am1Offline; ++i) {
            EXPECT_EQ(am2_.Keepalive(pvm_, 2, ++am2Sequence_).status(), ZEL_K_QS_STATUS_SUCCESS);
            WithInstance(pvm_, [&](QSS_INSTANCE* record) { am1Offline = !record->am[0].bOnline; });
            Sleep(20);
        }
        return am1Offline;
    }

    PvmId pvm_ = MakePvmId(7);
    ULONGLONG am2Sequence_ = 10;
};

TEST_F(KeepaliveTest, AKeepaliveReportsBothAgesAndRearmsTheSender)
{
    am1_.Attach(pvm_, 1, kLongTimeout, 1);
    DWORD armedAt = 0;
    WithInstance(pvm_, [&](QSS_INSTANCE* record) { armedAt = record->am[0].lastKeepaliveTick; });
    while (GetTickCount() == armedAt) Sleep(1);

    Reply reply = am1_.Keepalive(pvm_, 1, 2);
    ASSERT_EQ(reply.size, 68);
    EXPECT_EQ(reply.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(reply.header().packetType, ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK);
    EXPECT_GT(reply.keepalive().sinceLastKeepaliveAm1, 0u);
    // AM2 never attached: its figure is the age of the record.
    EXPECT_GE(reply.keepalive().sinceLastKeepaliveAm2, reply.keepalive().sinceLastKeepaliveAm1);
    EXPECT_NE(reply.keepalive().sinceLastKeepaliveAm2, QSS_KEEPALIVE_AGE_UNKNOWN);

    DWORD rearmedAt = 0;
    WithInstance(pvm_, [&](QSS_INSTANCE* record) { rearmedAt = record->am[0].lastKeepaliveTick; });
    EXPECT_NE(rearmedAt, armedAt);
    while (GetTickCount() == rearmedAt) Sleep(1);

    // The resend is the saved reply, and leaves the timer alone.
    EXPECT_TRUE(am1_.Keepalive(pvm_, 1, 2) == reply);
    WithInstance(pvm_, [&](QSS_INSTANCE* record) { EXPECT_EQ(record->am[0].lastKeepaliveTick, rearmedAt); });
}

TEST_F(KeepaliveTest, AKeepaliveFromAnOfflineAmIsRefusedAndNotSaved)
{
    am1_.Attach(pvm_, 1, kLongTimeout, 1);
    am1_.Detach(pvm_, 1, 2);
    for (int attempt = 0; attempt < 2; ++attempt) {
        Reply reply = am1_.Keepalive(pvm_, 1, 3);
        EXPECT_EQ(reply.status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
        EXPECT_EQ(reply.keepalive().sinceLastKeepaliveAm1, QSS_KEEPALIVE_AGE_UNKNOWN);
        EXPECT_EQ(reply.keepalive().sinceLastKeepaliveAm2, QSS_KEEPALIVE_AGE_UNKNOWN);
    }
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        const QSS_PACKET_HEADER* saved = reinterpret_cast<const QSS_PACKET_HEADER*>(record->am[0].lastReply);
        DWORD savedType = saved->packetType;
        EXPECT_EQ(savedType, ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE_ACK);
        EXPECT_EQ(record->am[0].bOnline, 0);
    });
    EXPECT_EQ(am1_.Keepalive(MakePvmId(99), 1, 4).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
}

TEST_F(KeepaliveTest, SilentAmsTimeOutOneByOne)
{
    am1_.Attach(pvm_, 1, kShortTimeout, 1);
    am2_.Attach(pvm_, 2, kShortTimeout, 1);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);

    ASSERT_TRUE(Am1TimesOutWhileAm2Talks());
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);
    std::vector<std::string> strings = LastEventStrings("0x8C00000C");
    ASSERT_EQ(strings.size(), 5u);
    EXPECT_EQ(strings[0], "1");
    EXPECT_EQ(strings[1], "127.0.0.1");
    EXPECT_GE(std::stoul(strings[2]), kShortTimeout / 2);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { EXPECT_EQ(record->am[0].hInstanceTimeout, nullptr); });

    EXPECT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* record) { return !record->am[1].bOnline; }));
    EXPECT_EQ(am1_.ActiveInstanceCount(), 0u);
    EXPECT_EQ(am1_.Keepalive(pvm_, 1, 2).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    // Only an attach brings an AM back.
    EXPECT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 3).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);
}

TEST_F(KeepaliveTest, ASilentAmTimesOutAfterItsPartnerRaisedTheTimeout)
{
    am1_.Attach(pvm_, 1, 40, 1);
    am2_.Attach(pvm_, 2, 2 * kShortTimeout, 1);
    // AM1's first firing comes early for the raised timeout; it must wait for the rest.
    ASSERT_TRUE(Am1TimesOutWhileAm2Talks());
    std::vector<std::string> strings = LastEventStrings("0x8C00000C");
    ASSERT_EQ(strings.size(), 5u);
    EXPECT_EQ(strings[0], "1");
    EXPECT_GE(std::stoul(strings[2]), 2 * kShortTimeout);
}

TEST_F(KeepaliveTest, AHolderThatFallsSilentKeepsTheQuorum)
{
    am1_.Attach(pvm_, 1, kShortTimeout, 1);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { record->am[0].bHold = 1; });
    EXPECT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* record) { return !record->am[0].bOnline; }));
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(qssGetAmState(&record->am[0], 0, 0), QSS_AM_STATE_OFFLINE_HOLDING);
    });
    Reply query = am2_.Query(pvm_, 1);
    EXPECT_EQ(query.status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(query.query().am1Hold, 0);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 0u);
}

TEST_F(KeepaliveTest, AVotingAmIsNeverTimedOut)
{
    am1_.Attach(pvm_, 1, 30, 1);
    DWORD armedAt = 0;
    WithInstance(pvm_, [&](QSS_INSTANCE* record) {
        record->am[0].bVoting = 1;
        armedAt = record->am[0].lastKeepaliveTick;
    });
    // The timer runs out and is armed again, several times over.
    EXPECT_TRUE(WaitForInstance(pvm_, [&](QSS_INSTANCE* record) {
        return record->am[0].lastKeepaliveTick - armedAt >= 150;
    }));
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(record->am[0].bOnline, 1);
        EXPECT_NE(record->am[0].hInstanceTimeout, nullptr);
        record->am[0].bVoting = 0;
    });
    EXPECT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* record) { return !record->am[0].bOnline; }));
}

TEST_F(KeepaliveTest, AZeroInstanceTimeoutTakesTheAmOfflineAtOnce)
{
    EXPECT_EQ(am1_.Attach(pvm_, 1, 0, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* record) { return !record->am[0].bOnline; }));
    EXPECT_EQ(am1_.ActiveInstanceCount(), 0u);
}

}  // namespace
