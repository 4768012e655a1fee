// The instance table on its own: index, limit, ageing, the tick wrap and the
// rule that a record outlives every callback of its timers. The server is
// prepared (lock, timer queue) but its thread does not run, so only the test ages.
#include <cstring>

#include "Qss/config/parameters.h"
#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/keepalive.h"
#include "support/quorum_server.h"

namespace {

using dvtest::MakePvmId;
using dvtest::PvmId;

DWORD fakeTick;
DWORD WINAPI FakeTick() { return fakeTick; }

class InstanceTableTest : public dvtest::QuorumServerTest {
protected:
    void SetUp() override
    {
        qssInstanceRetainTime = retainTime;
        qssMaxInstanceNum = maxInstances;
        ASSERT_TRUE(server_.Prepare());
    }
    void TearDown() override
    {
        QuorumServerTest::TearDown();
        qssGetTick = GetTickCount;
    }

    QSS_INSTANCE* Create(const PvmId& pvm, DWORD* status = nullptr)
    {
        DWORD ignored;
        return qssNewInstance(pvm.bytes, status ? status : &ignored);
    }
};

TEST_F(InstanceTableTest, RecordsAreListedNewestFirstAndFoundByTheirPvmId)
{
    constexpr unsigned kRecords = 20000;
    qssMaxInstanceNum = kRecords;
    for (unsigned i = 0; i < kRecords; ++i) ASSERT_NE(Create(MakePvmId(i)), nullptr);
    EXPECT_EQ(qssInstanceCount, kRecords);
    EXPECT_EQ(memcmp(qssInstanceList->pvmId, MakePvmId(kRecords - 1).bytes, 16), 0);
    EXPECT_EQ(memcmp(qssInstanceList->pNext->pvmId, MakePvmId(kRecords - 2).bytes, 16), 0);
    for (unsigned i = 0; i < kRecords; ++i) {
        QSS_INSTANCE* record = qssFindInstance(MakePvmId(i).bytes);
        ASSERT_NE(record, nullptr);
        ASSERT_EQ(memcmp(record->pvmId, MakePvmId(i).bytes, 16), 0);
    }
    EXPECT_EQ(qssFindInstance(MakePvmId(kRecords).bytes), nullptr);

    QSS_INSTANCE* record = qssFindInstance(MakePvmId(5).bytes);
    EXPECT_EQ(record->am[0].pInstance, record);
    EXPECT_EQ(record->am[1].pInstance, record);
    EXPECT_EQ(record->am[1].sock, INVALID_SOCKET);
    EXPECT_EQ(record->am[0].lastKeepaliveTick, record->am[1].lastKeepaliveTick);
}

TEST_F(InstanceTableTest, AFullTableAgesARecordFirstOrRefuses)
{
    qssGetTick = FakeTick;
    fakeTick = 1000;
    qssInstanceRetainTime = 100;
    qssMaxInstanceNum = 2;
    Create(MakePvmId(1));
    QSS_INSTANCE* busy = Create(MakePvmId(2));
    busy->am[0].bOnline = 1;
    qssReviewInstanceAgeing(busy);

    DWORD status = 0;
    EXPECT_EQ(Create(MakePvmId(3), &status), nullptr);
    EXPECT_EQ(status, ZEL_K_QS_STATUS_TOO_MANY_INSTANCES);
    EXPECT_EQ(LastEventStrings("0x8C00000F"), std::vector<std::string>{"2"});

    fakeTick += 101;
    EXPECT_NE(Create(MakePvmId(3), &status), nullptr);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(qssFindInstance(MakePvmId(1).bytes), nullptr);

    qssMaxInstanceNum = 0;
    EXPECT_EQ(Create(MakePvmId(4), &status), nullptr);
    EXPECT_EQ(status, ZEL_K_QS_STATUS_TOO_MANY_INSTANCES);
    EXPECT_EQ(qssNewInstance(nullptr, &status), nullptr);
    EXPECT_EQ(status, 1u);
    busy->am[0].bOnline = 0;
}

TEST_F(InstanceTableTest, ARecordAgesWhenBothAmsHaveBeenSilentLongerThanTheRetainTime)
{
    qssGetTick = FakeTick;
    fakeTick = 5000;
    qssInstanceRetainTime = 1000;
    QSS_INSTANCE* record = Create(MakePvmId(1));
    Create(MakePvmId(2));
    record->am[1].lastKeepaliveTick = 5500;
    qssReviewInstanceAgeing(record);

    fakeTick = 6001;
    qssUnusedInstanceCollection();
    EXPECT_EQ(qssFindInstance(MakePvmId(2).bytes), nullptr);
    EXPECT_NE(qssFindInstance(MakePvmId(1).bytes), nullptr);
    fakeTick = 6500;  // exactly the retain time: kept
    qssUnusedInstanceCollection();
    EXPECT_NE(qssFindInstance(MakePvmId(1).bytes), nullptr);
    fakeTick = 6501;
    qssUnusedInstanceCollection();
    EXPECT_EQ(qssFindInstance(MakePvmId(1).bytes), nullptr);
    EXPECT_EQ(qssInstanceCount, 0u);
}

TEST_F(InstanceTableTest, AgeingAndTheHalfTimeoutTestHoldAcrossATickWrap)
{
    qssGetTick = FakeTick;
    fakeTick = 0xFFFFFF00u;
    qssInstanceRetainTime = 1000;
    QSS_INSTANCE* ageing = Create(MakePvmId(1));
    QSS_INSTANCE* online = Create(MakePvmId(2));
    QSS_AM_INFO* slot = &online->am[0];
    online->instanceTimeout = 1000;
    slot->bOnline = 1;
    qssServerInfo.activeInstanceCount = 1;
    qssReviewInstanceAgeing(online);

    fakeTick = 0xFFFFFF00u + 499;  // wrapped
    qssUnusedInstanceCollection();
    qssKeepaliveTimeoutCallback(slot, TRUE);
    EXPECT_EQ(slot->bOnline, 1);
    fakeTick = 0xFFFFFF00u + 500;
    qssKeepaliveTimeoutCallback(slot, TRUE);
    EXPECT_EQ(slot->bOnline, 0);
    DWORD active = qssServerInfo.activeInstanceCount;
    EXPECT_EQ(active, 0u);

    fakeTick = 0xFFFFFF00u + 1000;
    qssUnusedInstanceCollection();
    EXPECT_EQ(qssFindInstance(ageing->pvmId), ageing);
    fakeTick = 0xFFFFFF00u + 1001;
    qssUnusedInstanceCollection();
    EXPECT_EQ(qssFindInstance(MakePvmId(1).bytes), nullptr);
}

TEST_F(InstanceTableTest, ARecordOutlivesACallbackStillWaitingForTheLock)
{
    qssInstanceRetainTime = 0;
    QSS_INSTANCE* record = Create(MakePvmId(1));
    QSS_AM_INFO* slot = &record->am[0];
    record->instanceTimeout = 1;

    // Hold the lock so that the callback, once due, has to wait for it; then
    // detach while it waits. A deletion that beats the callback is tried again.
    bool callbackWaiting = false;
    EnterCriticalSection(&qssInstanceLock);
    for (int attempt = 0; attempt < 50 && !callbackWaiting; ++attempt) {
        slot->bOnline = 1;
        qssResetKeepaliveTimeoutTimer(slot);
        Sleep(20);
        slot->bOnline = 0;
        qssDeleteKeepaliveTimeoutTimer(slot, "test", 1);
        callbackWaiting = record->pTickets != nullptr;
    }
    ASSERT_TRUE(callbackWaiting);
    EXPECT_EQ(slot->hInstanceTimeout, nullptr);
    slot->lastKeepaliveTick = record->am[1].lastKeepaliveTick = GetTickCount() - 10000;
    qssReviewInstanceAgeing(record);
    qssUnusedInstanceCollection();
    EXPECT_EQ(qssFindInstance(MakePvmId(1).bytes), record);
    LeaveCriticalSection(&qssInstanceLock);

    // Once the callback has run its course the record ages as any other.
    bool gone = false;
    for (int i = 0; i < 1000 && !gone; ++i) {
        qssUnusedInstanceCollection();
        gone = qssFindInstance(MakePvmId(1).bytes) == nullptr;
        Sleep(5);
    }
    EXPECT_TRUE(gone);
}

TEST_F(InstanceTableTest, TheDumpShowsBothAms)
{
    qssGetTick = FakeTick;
    fakeTick = 1000;
    QSS_INSTANCE* record = Create(PvmId{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}});
    record->protocolRevision = QSS_PROTOCOL_REVISION;
    record->am[0].bOnline = 1;
    record->am[0].health = 0x1234;
    StringCbCopyA(record->am[0].amId, sizeof(record->am[0].amId), "am-one");
    record->am[0].ipAddress = inet_addr("10.1.2.3");
    record->am[0].port = 5000;
    fakeTick = 1250;
    qssTraceFlags = QSS_TRACE_CONSOLE | QSS_TRACE_INFO;
    testing::internal::CaptureStdout();
    qssDumpInstance(record);
    std::string out = testing::internal::GetCapturedStdout();
    qssTraceFlags = 0;
    EXPECT_NE(out.find("** PVM ID {00010203-0405-0607-0809-0a0b0c0d0e0f}"), std::string::npos) << out;
    EXPECT_NE(out.find("** Protocol Rev: 0x50000 : instanceTimeout: 0ms"), std::string::npos) << out;
    EXPECT_NE(out.find("** AM1 am-one (ONLINE, RELEASE) (10.1.2.3:5000)"), std::string::npos) << out;
    EXPECT_NE(out.find("** Health 0000000000001234 KA Interval 0ms Since last KA 250ms"), std::string::npos) << out;
    EXPECT_NE(out.find("** AM2  (OFFLINE, RELEASE) (0.0.0.0:0)"), std::string::npos) << out;
    record->am[0].bOnline = 0;
}

}  // namespace
