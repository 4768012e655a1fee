// Acquiring and releasing the quorum over loopback UDP against the real server.
#include <cstring>
#include <string>

#include "Qss/config/pvm_id.h"
#include "support/decision_server.h"

namespace {

using namespace dvtest;
// Long enough that only the partner's request can decide within a test.
constexpr DWORD kLongWindow = 60000;
// A reply that is not expected: how long to listen for one.
constexpr DWORD kSilence = 100;

class QuorumDecisionTest : public dvtest::DecisionServerTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StartFromRegistry());
        ASSERT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 1, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
        ASSERT_EQ(am2_.Attach(pvm_, 2, kLongTimeout, 1, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);
    }

    // The deferred answer to an ACQUIRE_QUORUM with this sequence.
    static void ExpectAck(const Reply& reply, ULONGLONG sequence, uint32_t status)
    {
        ASSERT_EQ(reply.size, 60);
        EXPECT_EQ(reply.header().packetType, ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK);
        EXPECT_EQ(reply.header().sequence, sequence);
        EXPECT_EQ(reply.header().protocolRevision, QSS_PROTOCOL_REVISION);
        EXPECT_EQ(qssChecksum(reply.bytes, 60), 0u);
        EXPECT_EQ(reply.status(), status);
    }

    // AM1 votes with a long window and AM2 decides the contest at once.
    void Contest(ULONGLONG health1, ULONGLONG health2, Reply* answer1, Reply* answer2)
    {
        am1_.SendAcquire(pvm_, 1, kLongWindow, health1, 10, "am-one");
        ASSERT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
        am2_.SendAcquire(pvm_, 2, kLongWindow, health2, 20, "am-two");
        *answer2 = am2_.Receive();
        *answer1 = am1_.Receive();
    }

    void Grant(AmClient& am, uint32_t amNumber, ULONGLONG sequence)
    {
        am.SendAcquire(pvm_, amNumber, 0, 1, sequence, amNumber == 1 ? "am-one" : "am-two");
        ExpectAck(am.Receive(), sequence, ZEL_K_QS_STATUS_SUCCESS);
    }

    PvmId pvm_ = MakePvmId(41);
};

TEST_F(QuorumDecisionTest, ALoneVoterIsAnsweredWhenItsWindowClosesWithItsOwnSequence)
{
    am1_.SendAcquire(pvm_, 1, 300, 5, 77, "am-one");
    ASSERT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_NE(record->hQuorumTimeout, nullptr);
        EXPECT_EQ(record->am[0].health, 5u);
        EXPECT_EQ(record->am[1].health, 0u);
    });

    ExpectAck(am1_.Receive(5000), 77, ZEL_K_QS_STATUS_SUCCESS);
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(record->am[0].bHold, 1);
        EXPECT_EQ(record->am[0].bVoting, 0);
        EXPECT_EQ(record->hQuorumTimeout, nullptr);
        EXPECT_NE(record->systemTimeAcquired.wYear, 0);
    });
    EXPECT_NE(PersistedValues(pvm_).find("\"Quorum Holder\"=dword:00000000"), std::string::npos);

    char guid[QSS_GUID_STRING_SIZE];
    Qss_PvmIdToGuidString(pvm_.bytes, sizeof(guid), guid);
    std::vector<std::string> granted = LastEventStrings("0x4C00000D");
    EXPECT_EQ(granted, (std::vector<std::string>{"1", "127.0.0.1", "am-one", guid, "0x5", "0x0"}));
    // The partner never asked and hears nothing.
    EXPECT_EQ(am2_.Receive(kSilence).size, 0);
}

TEST_F(QuorumDecisionTest, ThePartnersRequestDecidesTheContestByHealth)
{
    Reply answer1;
    Reply answer2;
    Contest(5, 7, &answer1, &answer2);
    ExpectAck(answer2, 20, ZEL_K_QS_STATUS_SUCCESS);
    ExpectAck(answer1, 10, ZEL_K_QS_STATUS_QUORUM_DENIED);
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(record->am[1].bHold, 1);
        EXPECT_EQ(record->am[0].bHold, 0);
        EXPECT_EQ(record->am[0].bVoting, 0);
        // The window's timer is gone: it decides nothing more.
        EXPECT_EQ(record->hQuorumTimeout, nullptr);
        EXPECT_EQ(record->pQuorumTimeoutTicket, nullptr);
    });
    EXPECT_EQ(EventCount("0x4C00000D"), 1);
    EXPECT_NE(PersistedValues(pvm_).find("\"Quorum Holder\"=dword:00000001"), std::string::npos);
}

TEST_F(QuorumDecisionTest, EqualHealthGoesToAm1WhicheverAskedFirst)
{
    am2_.SendAcquire(pvm_, 2, kLongWindow, 9, 20, "am-two");
    ASSERT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* r) { return r->am[1].bVoting == 1; }));
    am1_.SendAcquire(pvm_, 1, kLongWindow, 9, 10, "am-one");
    ExpectAck(am1_.Receive(), 10, ZEL_K_QS_STATUS_SUCCESS);
    ExpectAck(am2_.Receive(), 20, ZEL_K_QS_STATUS_QUORUM_DENIED);

    PvmId other = MakePvmId(42);
    ASSERT_EQ(am1_.Attach(other, 1, kLongTimeout, 2).status(), ZEL_K_QS_STATUS_SUCCESS);
    ASSERT_EQ(am2_.Attach(other, 2, kLongTimeout, 2).status(), ZEL_K_QS_STATUS_SUCCESS);
    am1_.SendAcquire(other, 1, kLongWindow, 9, 11, "am-one");
    ASSERT_TRUE(WaitForInstance(other, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
    am2_.SendAcquire(other, 2, kLongWindow, 9, 21, "am-two");
    ExpectAck(am1_.Receive(), 11, ZEL_K_QS_STATUS_SUCCESS);
    ExpectAck(am2_.Receive(), 21, ZEL_K_QS_STATUS_QUORUM_DENIED);
}

TEST_F(QuorumDecisionTest, HealthComparesAsUnsigned64Bits)
{
    Reply answer1;
    Reply answer2;
    Contest(0xFFFFFFFFull, 0x100000000ull, &answer1, &answer2);
    ExpectAck(answer2, 20, ZEL_K_QS_STATUS_SUCCESS);
    ExpectAck(answer1, 10, ZEL_K_QS_STATUS_QUORUM_DENIED);
    std::vector<std::string> granted = LastEventStrings("0x4C00000D");
    ASSERT_EQ(granted.size(), 6u);
    EXPECT_EQ(granted[4], "0xFFFFFFFF");
    EXPECT_EQ(granted[5], "0x100000000");
}

TEST_F(QuorumDecisionTest, TheHoldersPartnerIsRefusedAtOnceAlsoWhenTheHolderIsOffline)
{
    Grant(am1_, 1, 10);
    am2_.SendAcquire(pvm_, 2, kLongWindow, ~0ull, 20, "am-two");
    ExpectAck(am2_.Receive(), 20, ZEL_K_QS_STATUS_QUORUM_DENIED);
    char guid[QSS_GUID_STRING_SIZE];
    Qss_PvmIdToGuidString(pvm_.bytes, sizeof(guid), guid);
    EXPECT_EQ(LastEventStrings("0x4C00000E"),
              (std::vector<std::string>{"2", "127.0.0.1", "am-two", "1", "127.0.0.1", "am-one", guid}));

    ASSERT_EQ(am1_.Detach(pvm_, 1, 11, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
    am2_.SendAcquire(pvm_, 2, kLongWindow, ~0ull, 21, "am-two");
    ExpectAck(am2_.Receive(), 21, ZEL_K_QS_STATUS_QUORUM_DENIED);
    // The OFFLINE holder can neither ask nor give back.
    am1_.SendAcquire(pvm_, 1, kLongWindow, 1, 12, "am-one");
    ExpectAck(am1_.Receive(), 12, ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(am1_.Release(pvm_, 1, 13, "am-one").status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { EXPECT_EQ(record->am[0].bHold, 1); });
}

TEST_F(QuorumDecisionTest, ARepeatedPendingRequestWaitsForTheDecisionThenGetsTheSavedAnswer)
{
    am1_.SendAcquire(pvm_, 1, kLongWindow, 8, 10, "am-one");
    ASSERT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
    am1_.SendAcquire(pvm_, 1, kLongWindow, 8, 10, "am-one");
    EXPECT_EQ(am1_.Receive(kSilence).size, 0);

    am2_.SendAcquire(pvm_, 2, kLongWindow, 3, 20, "am-two");
    Reply deferred = am1_.Receive();
    ExpectAck(deferred, 10, ZEL_K_QS_STATUS_SUCCESS);
    ExpectAck(am2_.Receive(), 20, ZEL_K_QS_STATUS_QUORUM_DENIED);

    am1_.SendAcquire(pvm_, 1, kLongWindow, 8, 10, "am-one");
    EXPECT_TRUE(am1_.Receive() == deferred);
    EXPECT_EQ(EventCount("0x4C00000D"), 1);
}

TEST_F(QuorumDecisionTest, ANewRequestDuringTheOwnVoteIsAnsweredVotingAndTheFirstIsDecided)
{
    am1_.SendAcquire(pvm_, 1, kLongWindow, 8, 10, "am-one");
    ASSERT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
    am1_.SendAcquire(pvm_, 1, kLongWindow, 8, 11, "am-one");
    Reply voting = am1_.Receive();
    ExpectAck(voting, 11, ZEL_K_QS_STATUS_VOTING);
    EXPECT_EQ(am1_.Release(pvm_, 1, 12, "am-one").status(), ZEL_K_QS_STATUS_VOTING);
    EXPECT_EQ(EventCount("0x4C000009"), 1);

    am2_.SendAcquire(pvm_, 2, kLongWindow, 3, 20, "am-two");
    ExpectAck(am1_.Receive(), 10, ZEL_K_QS_STATUS_SUCCESS);
    ExpectAck(am2_.Receive(), 20, ZEL_K_QS_STATUS_QUORUM_DENIED);
}

TEST_F(QuorumDecisionTest, TheHolderAskingAgainIsAnsweredAlreadyHolding)
{
    Grant(am1_, 1, 10);
    am1_.SendAcquire(pvm_, 1, kLongWindow, 1, 11, "am-one");
    ExpectAck(am1_.Receive(), 11, ZEL_K_QS_STATUS_ALREADY_HOLDING);
}

TEST_F(QuorumDecisionTest, ReleaseByTheHolderFreesTheQuorumAndReleaseByTheOtherIsRefused)
{
    Grant(am2_, 2, 20);
    ASSERT_NE(PersistedValues(pvm_), "");

    Reply refused = am1_.Release(pvm_, 1, 10, "am-one");
    ASSERT_EQ(refused.size, 60);
    EXPECT_EQ(refused.header().packetType, ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM_ACK);
    EXPECT_EQ(refused.status(), ZEL_K_QS_STATUS_NOT_HOLDING);
    EXPECT_EQ(EventCount("0x4C00000A"), 1);

    Reply released = am2_.Release(pvm_, 2, 21, "am-two");
    EXPECT_EQ(released.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(PersistedValues(pvm_), "");
    EXPECT_EQ(EventCount("0x4C00000B"), 1);
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(record->am[1].bHold, 0);
        SYSTEMTIME zero = {};
        EXPECT_EQ(memcmp(&record->systemTimeAcquired, &zero, sizeof(zero)), 0);
    });
    // The release is answered again byte for byte, and changes nothing twice.
    EXPECT_TRUE(am2_.Release(pvm_, 2, 21, "am-two") == released);
    EXPECT_EQ(EventCount("0x4C00000B"), 1);

    // The quorum is free: either AM starts a new vote.
    Grant(am1_, 1, 11);
}

TEST_F(QuorumDecisionTest, AVotingWindowOfZeroGrantsTheLoneVoterAtOnce)
{
    am2_.SendAcquire(pvm_, 2, 0, 1, 30, "am-two");
    ExpectAck(am2_.Receive(), 30, ZEL_K_QS_STATUS_SUCCESS);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { EXPECT_EQ(record->am[1].bHold, 1); });
}

TEST_F(QuorumDecisionTest, RequestsOfAnUnknownPvmOrAForeignServerAreRefused)
{
    am1_.SendAcquire(MakePvmId(99), 1, 0, 1, 40, "am-one");
    ExpectAck(am1_.Receive(), 40, ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(am1_.Release(MakePvmId(99), 1, 41).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    am1_.SendAcquire(pvm_, 3, 0, 1, 42, "am-one");
    ExpectAck(am1_.Receive(), 42, ZEL_K_QS_STATUS_INVALID_AM_NUMBER);
    AmClient stranger(server_.port(), dvtest::ServerTarget());
    stranger.target.serverId[0] = 'x';
    stranger.SendAcquire(pvm_, 1, 0, 1, 43, "am-one");
    ExpectAck(stranger.Receive(), 43, ZEL_K_QS_STATUS_WRONG_SERVER);
}

}  // namespace
