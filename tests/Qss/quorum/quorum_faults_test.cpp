// The quorum when the registry's writes, flushes or deletions fail, or the
// disk is full, or the event log cannot be written: what the server answers,
// reports and restores, and that it goes on answering.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "Qss/config/pvm_id.h"
#include "platform/posix/faults.h"
#include "support/decision_server.h"

namespace {

using namespace dvtest;

class QuorumFaultsTest : public dvtest::DecisionServerTest {
protected:
    void TearDown() override
    {
        dvfaults::Set(nullptr);
        DecisionServerTest::TearDown();
    }

    void AttachBoth(ULONGLONG sequence)
    {
        ASSERT_EQ(am1_.Attach(pvm_, 1, kLongTimeout, sequence, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
        ASSERT_EQ(am2_.Attach(pvm_, 2, kLongTimeout, sequence, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);
    }

    // A lone vote with no window: the answer to it.
    uint32_t Acquire(AmClient& am, uint32_t amNumber, ULONGLONG sequence)
    {
        am.SendAcquire(pvm_, amNumber, 0, 1, sequence, amNumber == 1 ? "am-one" : "am-two");
        Reply reply = am.Receive();
        EXPECT_EQ(reply.size, 60);
        EXPECT_EQ(reply.header().sequence, sequence);
        return reply.status();
    }

    std::string Guid()
    {
        char guid[QSS_GUID_STRING_SIZE] = {};
        Qss_PvmIdToGuidString(pvm_.bytes, sizeof(guid), guid);
        return guid;
    }

    void Restart()
    {
        StopServer();
        dvfaults::Set(nullptr);
        ASSERT_TRUE(StartFromRegistry());
    }

    PvmId pvm_ = MakePvmId(77);
};

// A grant that cannot be made durable is no grant: the winner is told of an
// internal error, the loser keeps its denial, and nobody holds, now or after a restart.
TEST_F(QuorumFaultsTest, AGrantWhoseFlushFailsIsWithdrawnAndReported)
{
    ASSERT_TRUE(StartFromRegistry());
    AttachBoth(1);
    unsigned long before = dvfaults::Injected(dvfaults::kRegistryFlush);
    ASSERT_TRUE(dvfaults::Set("reg_flush:1"));
    am2_.SendAcquire(pvm_, 2, kLongTimeout, 1, 10, "am-two");
    ASSERT_TRUE(WaitForInstance(pvm_, [](QSS_INSTANCE* r) { return r->am[1].bVoting == 1; }));
    am1_.SendAcquire(pvm_, 1, kLongTimeout, 2, 11, "am-one");
    EXPECT_EQ(am2_.Receive().status(), ZEL_K_QS_STATUS_QUORUM_DENIED);
    EXPECT_EQ(am1_.Receive().status(), ZEL_K_QS_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(dvfaults::Injected(dvfaults::kRegistryFlush), before + 1);
    ASSERT_EQ(EventCount("0xCC000014"), 1);
    std::vector<std::string> strings = LastEventStrings("0xCC000014");
    ASSERT_EQ(strings.size(), 4u);
    EXPECT_EQ(strings[0], Guid());
    EXPECT_EQ(strings[1], "1");
    EXPECT_EQ(strings[2], "127.0.0.1");
    EXPECT_EQ(strings[3], "am-one");
    WithInstance(pvm_, [](QSS_INSTANCE* record) { EXPECT_EQ(record->am[0].bHold + record->am[1].bHold, 0); });
    EXPECT_EQ(PersistedValues(pvm_), "");

    Restart();
    EXPECT_EQ(EventCount("0x4C000017"), 0);
    AttachBoth(2);
    EXPECT_EQ(Acquire(am2_, 2, 12), ZEL_K_QS_STATUS_SUCCESS);
}

TEST_F(QuorumFaultsTest, AValueThatIsNeverReadBackMayFailWithoutAReport)
{
    ASSERT_TRUE(StartFromRegistry());
    AttachBoth(1);
    // The fourth write is "Protected VM Id".
    ASSERT_TRUE(dvfaults::Set("reg_write:4"));
    EXPECT_EQ(Acquire(am1_, 1, 10), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(EventCount("0xCC000014"), 0);
    Restart();
    EXPECT_EQ(EventCount("0x4C000017"), 1);
}

// A full disk: every value write fails. The grant is withdrawn and reported,
// its empty key deleted, and the server goes on; the next start finds no holder.
TEST_F(QuorumFaultsTest, OnAFullDiskTheGrantIsWithdrawnAndTheServerGoesOn)
{
    ASSERT_TRUE(StartFromRegistry());
    AttachBoth(1);
    ASSERT_TRUE(dvfaults::Set("reg_write:1+"));
    EXPECT_EQ(Acquire(am1_, 1, 10), ZEL_K_QS_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(EventCount("0xCC000014"), 1);
    // Keepalives, queries and new PVMs still work.
    EXPECT_EQ(am2_.Keepalive(pvm_, 2, 12, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(am2_.Query(pvm_, 13).query().am1Hold, 0);
    EXPECT_EQ(am1_.Attach(MakePvmId(78), 1, kLongTimeout, 14).status(), ZEL_K_QS_STATUS_SUCCESS);

    Restart();
    EXPECT_EQ(EventCount("0xCC000015"), 0);
    EXPECT_EQ(EventCount("0x4C000017"), 0);
    EXPECT_FALSE(InstanceExists(pvm_));
}

TEST_F(QuorumFaultsTest, AReleaseWhoseDeletionFailsIsAnsweredReportedAndRestoredAtTheNextStart)
{
    ASSERT_TRUE(StartFromRegistry());
    AttachBoth(1);
    ASSERT_EQ(Acquire(am1_, 1, 10), ZEL_K_QS_STATUS_SUCCESS);
    ASSERT_TRUE(dvfaults::Set("reg_delete:1"));
    EXPECT_EQ(am1_.Release(pvm_, 1, 11, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
    ASSERT_EQ(EventCount("0xCC000010"), 1);
    std::vector<std::string> strings = LastEventStrings("0xCC000010");
    ASSERT_EQ(strings.size(), 5u);
    EXPECT_EQ(strings[0], dvtest::PersistentSubKey(pvm_));
    EXPECT_EQ(strings[1], "1");
    EXPECT_EQ(strings[3], "am-one");
    EXPECT_EQ(strings[4], Guid());
    EXPECT_EQ(EventCount("0x4C00000B"), 1);
    EXPECT_NE(PersistedValues(pvm_), "");

    // The release took effect in memory; the persisted holder returns at the next start.
    Restart();
    EXPECT_EQ(EventCount("0x4C000017"), 1);
    AttachBoth(2);
    EXPECT_EQ(Acquire(am2_, 2, 12), ZEL_K_QS_STATUS_QUORUM_DENIED);
    EXPECT_EQ(am1_.Release(pvm_, 1, 13, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(PersistedValues(pvm_), "");
    EXPECT_EQ(Acquire(am2_, 2, 14), ZEL_K_QS_STATUS_SUCCESS);
}

// The event log's folder is a file: no event can be written, and nothing else changes.
TEST_F(QuorumFaultsTest, AnUnwritableEventLogChangesNoAnswer)
{
    std::string eventLog = std::string(getenv("DORVANE_STATE_DIR")) + "/eventlog";
    FILE* blocker = fopen(eventLog.c_str(), "w");
    ASSERT_NE(blocker, nullptr);
    fclose(blocker);
    ASSERT_TRUE(StartFromRegistry());
    AttachBoth(1);
    // The withdrawn grant's key cannot be deleted either; the next grant rewrites it.
    ASSERT_TRUE(dvfaults::Set("reg_flush:1,reg_delete:1"));
    EXPECT_EQ(Acquire(am1_, 1, 10), ZEL_K_QS_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(Acquire(am2_, 2, 11), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Acquire(am1_, 1, 12), ZEL_K_QS_STATUS_QUORUM_DENIED);
    EXPECT_EQ(am2_.Release(pvm_, 2, 13, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Acquire(am1_, 1, 14), ZEL_K_QS_STATUS_SUCCESS);
    Restart();
    AttachBoth(2);
    EXPECT_EQ(Acquire(am2_, 2, 15), ZEL_K_QS_STATUS_QUORUM_DENIED);
    struct stat st;
    ASSERT_EQ(stat(eventLog.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
