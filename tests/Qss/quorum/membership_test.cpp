// Attach, detach and query over loopback UDP against the real server.
#include <cstring>

#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "qsclient.h"
#include "support/quorum_server.h"

namespace {

using namespace dvtest;

class MembershipTest : public dvtest::QuorumServerTest {
protected:
    void SetUp() override { StartServer(); }

    PvmId pvm_ = MakePvmId(1);
};

TEST_F(MembershipTest, FirstAttachCreatesTheInstanceAndCountsItActive)
{
    EXPECT_EQ(am1_.ActiveInstanceCount(), 0u);
    Reply reply = am1_.Attach(pvm_, 1, kLongTimeout, 100);
    ASSERT_EQ(reply.size, 60);
    EXPECT_EQ(reply.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(reply.header().packetType, ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK);
    EXPECT_EQ(reply.header().sequence, 100u);
    EXPECT_EQ(reply.header().protocolRevision, QSS_PROTOCOL_REVISION);
    EXPECT_EQ(qssChecksum(reply.bytes, 60), 0u);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);
    EXPECT_EQ(EventCount("0x4C00001C"), 1);

    // The partner joining leaves the count as it is.
    EXPECT_EQ(am2_.Attach(pvm_, 2, kLongTimeout, 200).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);

    Reply query = am2_.Query(pvm_, 300);
    ASSERT_EQ(query.size, 93);
    EXPECT_EQ(query.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(query.query().instanceKnown, 1);
    EXPECT_EQ(memcmp(query.query().pvmId, pvm_.bytes, 16), 0);
    EXPECT_EQ(query.query().am1Address, inet_addr("127.0.0.1"));
    EXPECT_EQ(query.query().am1Port, ntohs(am1_.local().sin_port));
    EXPECT_EQ(query.query().am1Online, 1);
    EXPECT_EQ(query.query().am2Port, ntohs(am2_.local().sin_port));
    EXPECT_EQ(query.query().am2Online, 1);
    EXPECT_EQ(query.query().am1Hold, 0);
}

TEST_F(MembershipTest, RetransmittedAttachGetsTheSameBytesAndOnlyRearmsTheTimer)
{
    Reply first = am1_.Attach(pvm_, 1, kLongTimeout, 5);
    DWORD armedAt = 0;
    WithInstance(pvm_, [&](QSS_INSTANCE* record) { armedAt = record->am[0].lastKeepaliveTick; });
    while (GetTickCount() == armedAt) Sleep(1);

    Reply again = am1_.Attach(pvm_, 1, kLongTimeout, 5);
    EXPECT_TRUE(again == first);
    WithInstance(pvm_, [&](QSS_INSTANCE* record) {
        EXPECT_NE(record->am[0].lastKeepaliveTick, armedAt);
        EXPECT_NE(record->am[0].hInstanceTimeout, nullptr);
    });
    EXPECT_EQ(EventCount("0x4C00001C"), 1);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);
}

TEST_F(MembershipTest, AttachOfAnOnlineAmWarnsAndKeepsItsFirstAddress)
{
    am1_.Attach(pvm_, 1, kLongTimeout, 1, "first-identity");
    AmClient elsewhere(server_.port(), dvtest::ServerTarget(), "127.0.0.2");
    Reply reply = elsewhere.Attach(pvm_, 1, 5, 2, "second-identity");
    EXPECT_EQ(reply.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(EventCount("0x8C000012"), 1);
    WithInstance(pvm_, [&](QSS_INSTANCE* record) {
        EXPECT_EQ(record->am[0].port, ntohs(am1_.local().sin_port));
        EXPECT_EQ(record->am[0].ipAddress, inet_addr("127.0.0.1"));
        EXPECT_STREQ(record->am[0].amId, "first-identity");
        EXPECT_EQ(record->instanceTimeout, kLongTimeout);
    });
}

TEST_F(MembershipTest, DetachTakesTheAmOfflineAndTheLastOneLowersTheCount)
{
    am1_.Attach(pvm_, 1, kLongTimeout, 1);
    am2_.Attach(pvm_, 2, kLongTimeout, 1);
    EXPECT_EQ(am1_.Detach(pvm_, 1, 2).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 1u);
    Reply last = am2_.Detach(pvm_, 2, 2);
    EXPECT_EQ(last.status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 0u);
    EXPECT_EQ(EventCount("0x4C00001D"), 2);

    // The record stays, without timers; a resend gets the same bytes, a new detach 2.
    WithInstance(pvm_, [&](QSS_INSTANCE* record) {
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->am[1].bOnline, 0);
        EXPECT_EQ(record->am[1].hInstanceTimeout, nullptr);
    });
    EXPECT_TRUE(am2_.Detach(pvm_, 2, 2) == last);
    EXPECT_EQ(am2_.Detach(pvm_, 2, 3).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(am1_.ActiveInstanceCount(), 0u);
}

TEST_F(MembershipTest, AHolderDetachesKeepingTheQuorumAndComesBackHolding)
{
    am1_.Attach(pvm_, 1, kLongTimeout, 1);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { record->am[0].bHold = 1; });
    EXPECT_EQ(am1_.Detach(pvm_, 1, 2).status(), ZEL_K_QS_STATUS_SUCCESS);
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(qssGetAmState(&record->am[0], 0, 0), QSS_AM_STATE_OFFLINE_HOLDING);
    });

    // Both AMs OFFLINE: the query knows nothing, though AM1 holds.
    Reply query = am2_.Query(pvm_, 3);
    EXPECT_EQ(query.status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(query.query().instanceKnown, 0);
    EXPECT_EQ(query.query().am1Address, 0u);
    EXPECT_EQ(query.query().am1Port, 0);
    EXPECT_EQ(query.query().am1Hold, 0);
    EXPECT_EQ(memcmp(query.query().pvmId, pvm_.bytes, 16), 0);

    EXPECT_EQ(am1_.Detach(pvm_, 1, 4).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 5).status(), ZEL_K_QS_STATUS_SUCCESS);
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(qssGetAmState(&record->am[0], 0, 0), QSS_AM_STATE_ONLINE_HOLDING);
    });
    EXPECT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 6).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am1_.Detach(pvm_, 1, 7).status(), ZEL_K_QS_STATUS_SUCCESS);
}

TEST_F(MembershipTest, AVotingAmGetsStatus3ForAttachAndDetach)
{
    am1_.Attach(pvm_, 1, kLongTimeout, 1);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { record->am[0].bVoting = 1; });
    EXPECT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 2).status(), ZEL_K_QS_STATUS_VOTING);
    EXPECT_EQ(am1_.Detach(pvm_, 1, 3).status(), ZEL_K_QS_STATUS_VOTING);
    WithInstance(pvm_, [](QSS_INSTANCE* record) {
        EXPECT_EQ(record->am[0].bOnline, 1);
        EXPECT_EQ(record->am[0].bVoting, 1);
        // Holding and voting at once has no rule.
        record->am[0].bHold = 1;
    });
    EXPECT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, 4).status(), ZEL_K_QS_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(am1_.Detach(pvm_, 1, 5).status(), ZEL_K_QS_STATUS_INTERNAL_ERROR);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { record->am[0].bHold = record->am[0].bVoting = 0; });
}

TEST_F(MembershipTest, BadRequestsChangeNothing)
{
    for (uint32_t amNumber : {0u, 3u, 0xFFFFFFFFu}) {
        EXPECT_EQ(am1_.Attach(pvm_, amNumber, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_INVALID_AM_NUMBER);
        EXPECT_EQ(am1_.Detach(pvm_, amNumber, 2).status(), ZEL_K_QS_STATUS_INVALID_AM_NUMBER);
        Reply keepalive = am1_.Keepalive(pvm_, amNumber, 3);
        EXPECT_EQ(keepalive.status(), ZEL_K_QS_STATUS_INVALID_AM_NUMBER);
        EXPECT_EQ(keepalive.keepalive().sinceLastKeepaliveAm1, QSS_KEEPALIVE_AGE_UNKNOWN);
    }
    EXPECT_FALSE(InstanceExists(pvm_));

    AmClient foreign(server_.port(), dvtest::ServerTarget());
    StringCbCopyA(foreign.target.hostName, sizeof(foreign.target.hostName), "OTHERHOST");
    EXPECT_EQ(foreign.Attach(pvm_, 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_WRONG_SERVER);
    EXPECT_EQ(foreign.Query(pvm_, 2).status(), ZEL_K_QS_STATUS_WRONG_SERVER);

    // No terminator anywhere in the identity: compared within the field, never equal.
    AmClient unterminated(server_.port(), dvtest::ServerTarget());
    memset(unterminated.target.hostName, 'D', sizeof(unterminated.target.hostName));
    memset(unterminated.target.serverId, '5', sizeof(unterminated.target.serverId));
    EXPECT_EQ(unterminated.Attach(pvm_, 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_WRONG_SERVER);
    EXPECT_EQ(unterminated.Query(pvm_, 2).status(), ZEL_K_QS_STATUS_WRONG_SERVER);

    // The identity is compared ignoring case.
    AmClient lower(server_.port(), dvtest::ServerTarget());
    StringCbCopyA(lower.target.hostName, sizeof(lower.target.hostName), "dvnettest");
    EXPECT_EQ(lower.Detach(pvm_, 1, 1).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_FALSE(InstanceExists(pvm_));

    // A newer protocol minor gets no answer at all.
    QSS_ATTACH_INSTANCE_REQUEST request;
    QsBuildAttachInstance(&request, 9, pvm_.bytes, 1, 1000, kLongTimeout, &am1_.target, "am");
    QsSealRequest(&request.header, ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, sizeof(request), 9,
                  QSS_PROTOCOL_REVISION | 1);
    EXPECT_EQ(am1_.Exchange(&request, sizeof(request), 300).size, 0);
    EXPECT_FALSE(InstanceExists(pvm_));

    Reply query = am1_.Query(pvm_, 10);
    EXPECT_EQ(query.status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    EXPECT_EQ(query.query().instanceKnown, 0);
    EXPECT_EQ(query.header().protocolRevision, QSS_PROTOCOL_REVISION);
}

TEST_F(MembershipTest, AnIdentityWithoutTerminatorIsCutTo36Characters)
{
    QSS_ATTACH_INSTANCE_REQUEST request;
    QsBuildAttachInstance(&request, 1, pvm_.bytes, 2, 1000, kLongTimeout, &am1_.target, "");
    memset(request.amId, 'x', sizeof(request.amId));
    QsSealRequest(&request.header, ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, sizeof(request), 1, QSS_PROTOCOL_REVISION);
    EXPECT_EQ(am1_.Exchange(&request, sizeof(request)).status(), ZEL_K_QS_STATUS_SUCCESS);
    WithInstance(pvm_, [](QSS_INSTANCE* record) { EXPECT_EQ(std::string(record->am[1].amId), std::string(36, 'x')); });
    std::vector<std::string> strings = LastEventStrings("0x4C00001C");
    ASSERT_EQ(strings.size(), 4u);
    EXPECT_EQ(strings[0], "2");
    EXPECT_EQ(strings[1], "127.0.0.1");
    EXPECT_EQ(strings[2], std::string(36, 'x'));
}

class FullTableTest : public dvtest::QuorumServerTest {};

TEST_F(FullTableTest, ANewPvmBeyondTheLimitGetsStatus10AndAWarning)
{
    maxInstances = 2;
    StartServer();
    AmClient am(server_.port(), dvtest::ServerTarget());
    EXPECT_EQ(am.Attach(MakePvmId(1), 1, kLongTimeout, 1).status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am.Attach(MakePvmId(2), 1, kLongTimeout, 2).status(), ZEL_K_QS_STATUS_SUCCESS);
    Reply full = am.Attach(MakePvmId(3), 1, kLongTimeout, 3);
    EXPECT_EQ(full.status(), ZEL_K_QS_STATUS_TOO_MANY_INSTANCES);
    EXPECT_EQ(LastEventStrings("0x8C00000F"), std::vector<std::string>{"2"});
    EXPECT_FALSE(InstanceExists(MakePvmId(3)));
    // Nothing was saved: the same request is judged again.
    EXPECT_EQ(am.Attach(MakePvmId(3), 1, kLongTimeout, 3).status(), ZEL_K_QS_STATUS_TOO_MANY_INSTANCES);
    EXPECT_EQ(EventCount("0x8C00000F"), 2);
    // Known PVMs are still served.
    EXPECT_EQ(am.Attach(MakePvmId(2), 2, kLongTimeout, 4).status(), ZEL_K_QS_STATUS_SUCCESS);
}

TEST_F(FullTableTest, DetachedInstancesAgeOutAfterTheRetainTimeButAHolderStays)
{
    retainTime = 100;
    StartServer();
    AmClient am(server_.port(), dvtest::ServerTarget());
    PvmId plain = MakePvmId(1);
    PvmId held = MakePvmId(2);
    am.Attach(plain, 1, kLongTimeout, 1);
    am.Attach(held, 2, kLongTimeout, 2);
    WithInstance(held, [](QSS_INSTANCE* record) { record->am[1].bHold = 1; });
    am.Detach(plain, 1, 3);
    am.Detach(held, 2, 4);

    EXPECT_TRUE(WaitForInstance(plain, [](QSS_INSTANCE* record) { return record == nullptr; }));
    EXPECT_TRUE(InstanceExists(held));
    EXPECT_EQ(am.Detach(plain, 1, 5).status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
}

}  // namespace
