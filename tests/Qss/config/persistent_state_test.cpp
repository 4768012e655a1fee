// Writing one PVM's quorum state, reading it back, and the restore at start
// with the subkeys it accepts and the ones that fail the start.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Qss/config/persistent_state.h"
#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "support/event_log.h"
#include "support/qss_diag.h"
#include "support/temp_dir.h"

namespace {

const char kSubKey[] = "{0f0e0d0c0b0a09080706050403020100}";
const BYTE kPvmId[QSS_PVM_ID_SIZE] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::vector<dvtest::EventRecord> EventsWithId(const std::string& id)
{
    std::vector<dvtest::EventRecord> found;
    for (const dvtest::EventRecord& event : dvtest::ReadEventLog()) {
        if (event.id == id) found.push_back(event);
    }
    return found;
}

// Writes a complete state under name, holder as given, leaving out one value if asked.
void WriteState(const char* name, DWORD holder, const char* leaveOut = "")
{
    SYSTEMTIME acquired = {2026, 3, 2, 17, 9, 30, 15, 0};
    auto dword = [&](const char* value, DWORD data) {
        if (strcmp(value, leaveOut) != 0) {
            ASSERT_EQ(Qss_RegSetPersistentStateDWORD(name, value, data), 0);
        }
    };
    auto text = [&](const char* value, const char* data) {
        if (strcmp(value, leaveOut) != 0) {
            ASSERT_EQ(Qss_RegSetPersistentStateSTRING(name, value, data, 37), 0);
        }
    };
    dword("Revision", 4);
    dword("Quorum Holder", holder);
    dword("Protocol Revision", 0x50000);
    text("Protected VM Id", "00010203-0405-0607-0809-0a0b0c0d0e0f");
    text("Time Acquired", "2026-03-17 09:30:15");
    if (strcmp("System Time Acquired", leaveOut) != 0) {
        ASSERT_EQ(Qss_RegSetPersistentStateBINARY(name, "System Time Acquired", &acquired, sizeof(acquired)), 0);
    }
    text("AM1 Id", "am-one");
    text("AM1 IP Address Sz", "10.1.2.3:4557");
    dword("AM1 IP Address Dw", 0x0302010A);
    dword("AM1 Port", 0x10000 | 4557);
    dword("AM1 Keepalive Interval", 1000);
    text("AM2 Id", "am-two");
    text("AM2 IP Address Sz", "10.1.2.4:4558");
    dword("AM2 IP Address Dw", 0x0402010A);
    dword("AM2 Port", 4558);
    dword("AM2 Keepalive Interval", 2000);
}

std::string FirstPersistedKey()
{
    char name[QSS_PERSISTENT_SUBKEY_SIZE] = {};
    DWORD length = sizeof(name);
    return Qss_RegEnumPersistentState(0, name, &length) == 0 ? name : "";
}

class PersistentStateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Qss_Initialize()); }
    void TearDown() override { Qss_StopServerThread(1); }

    // The restore, with its console trace captured.
    BOOL Restore(std::string* trace)
    {
        testing::internal::CaptureStdout();
        BOOL restored = qssRestorePersistentStates();
        *trace = testing::internal::GetCapturedStdout();
        return restored;
    }

    QSS_INSTANCE* Find(const BYTE* pvmId)
    {
        EnterCriticalSection(&qssInstanceLock);
        QSS_INSTANCE* record = qssFindInstance(pvmId);
        LeaveCriticalSection(&qssInstanceLock);
        return record;
    }

    dvtest::StateDir state_;
    dvtest::DiagScope diag_{QSS_TRACE_CONSOLE | QSS_TRACE_ERRORS | QSS_TRACE_WARNINGS | QSS_TRACE_INFO};
};

TEST(PersistentStateSubKeyScan, ReadsWhatThePatternReads)
{
    struct Case {
        const char* name;
        int converted;
        ULONGLONG high;
        ULONGLONG low;
    };
    const Case cases[] = {
        {kSubKey, 2, 0x0f0e0d0c0b0a0908ull, 0x0706050403020100ull},
        {"{0F0E0D0C0B0A09080706050403020100}", 2, 0x0f0e0d0c0b0a0908ull, 0x0706050403020100ull},
        {"{1}", 1, 1, 0},
        {"{1 2}", 2, 1, 2},
        {"{ 0x1f\t-1}", 2, 0x1f, ~0ull},
        // The width cuts the first number after 16 characters.
        {"{00000000000000001}", 2, 0, 1},
        {"{}", 0, 0, 0},
        {"x{1}", 0, 0, 0},
        {"{", -1, 0, 0},
        {"", -1, 0, 0},
        {"{1", 1, 1, 0},
    };
    for (const Case& c : cases) {
        ULONGLONG high = 0;
        ULONGLONG low = 0;
        EXPECT_EQ(qssScanPersistentStateSubKey(c.name, &high, &low), c.converted) << c.name;
        if (c.converted >= 1) {
            EXPECT_EQ(high, c.high) << c.name;
        }
        if (c.converted == 2) {
            EXPECT_EQ(low, c.low) << c.name;
        }
    }
}

TEST_F(PersistentStateTest, AGrantWrittenReadsBackIntoAFreshRecord)
{
    DWORD status = 0;
    QSS_INSTANCE* record = qssNewInstance(kPvmId, &status);
    ASSERT_NE(record, nullptr);
    record->protocolRevision = 0x50000;
    record->am[1].bHold = 1;
    strcpy(record->am[0].amId, "am-one");
    record->am[0].ipAddress = 0x0302010A;
    record->am[0].port = 4557;
    record->am[0].keepaliveInterval = 1000;
    strcpy(record->am[1].amId, "am-two");
    record->am[1].ipAddress = 0xFFFFFFFF;
    record->am[1].port = 65535;
    GetSystemTime(&record->systemTimeAcquired);
    QSS_PERSISTENT_STATE state;
    qssCapturePersistentState(record, &state);
    ASSERT_TRUE(qssWritePersistentState(&state, NULL));

    char text[40];
    ASSERT_EQ(Qss_RegGetPersistentStateSTRING(kSubKey, "AM1 IP Address Sz", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "10.1.2.3:4557");
    ASSERT_EQ(Qss_RegGetPersistentStateSTRING(kSubKey, "AM2 IP Address Sz", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "255.255.255.255:65535");
    ASSERT_EQ(Qss_RegGetPersistentStateSTRING(kSubKey, "Protected VM Id", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "00010203-0405-0607-0809-0a0b0c0d0e0f");
    ASSERT_EQ(Qss_RegGetPersistentStateSTRING(kSubKey, "Time Acquired", text, sizeof(text)), 0);
    EXPECT_EQ(strlen(text), 19u);
    DWORD value = 0;
    ASSERT_EQ(Qss_RegGetPersistentStateDWORD(kSubKey, "Revision", &value), 0);
    EXPECT_EQ(value, 4u);
    ASSERT_EQ(Qss_RegGetPersistentStateDWORD(kSubKey, "Quorum Holder", &value), 0);
    EXPECT_EQ(value, 1u);

    QSS_INSTANCE copy = {};
    ASSERT_TRUE(qssGetPersistentState(&copy, kSubKey));
    EXPECT_EQ(copy.am[1].bHold, 1);
    EXPECT_EQ(copy.am[0].bHold, 0);
    EXPECT_EQ(copy.protocolRevision, 0x50000u);
    EXPECT_EQ(memcmp(&copy.systemTimeAcquired, &record->systemTimeAcquired, sizeof(SYSTEMTIME)), 0);
    EXPECT_STREQ(copy.am[0].amId, "am-one");
    EXPECT_EQ(copy.am[0].ipAddress, 0x0302010Au);
    EXPECT_EQ(copy.am[0].port, 4557);
    EXPECT_EQ(copy.am[0].keepaliveInterval, 1000u);
    EXPECT_EQ(copy.am[1].ipAddress, 0xFFFFFFFFu);
    EXPECT_EQ(copy.am[1].port, 65535);
}

TEST_F(PersistentStateTest, NoPersistedStateIsSilent)
{
    std::string trace;
    EXPECT_TRUE(Restore(&trace));
    EXPECT_EQ(trace, "");
    EXPECT_TRUE(dvtest::ReadEventLog().empty());
}

TEST_F(PersistentStateTest, EveryHolderIsRestoredOfflineAndNamesInEitherCaseAreAccepted)
{
    WriteState("{0F0E0D0C0B0A09080706050403020100}", 0);
    WriteState("{00000000000000000000000000000001}", 1);
    std::string trace;
    ASSERT_TRUE(Restore(&trace));
    EXPECT_NE(trace.find("Restored persistent data for PVM key: {0F0E0D0C0B0A09080706050403020100}"),
              std::string::npos);

    QSS_INSTANCE* record = Find(kPvmId);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->am[0].bHold, 1);
    EXPECT_EQ(record->am[0].bOnline, 0);
    EXPECT_EQ(record->am[0].port, 4557); // the low 16 bits of what was stored
    EXPECT_EQ(record->am[1].keepaliveInterval, 2000u);
    EXPECT_EQ(record->hQuorumTimeout, nullptr);
    BYTE second[QSS_PVM_ID_SIZE] = {1};
    ASSERT_NE(Find(second), nullptr);
    EXPECT_EQ(Find(second)->am[1].bHold, 1);

    std::vector<dvtest::EventRecord> restored = EventsWithId("0x4C000017");
    ASSERT_EQ(restored.size(), 2u);
    ASSERT_EQ(restored[0].strings.size(), 5u);
    EXPECT_EQ(restored[0].strings[0], "01000000-0000-0000-0000-000000000000");
    EXPECT_EQ(restored[0].strings[1], "2");
    EXPECT_EQ(restored[0].strings[2], "10.1.2.4");
    EXPECT_EQ(restored[0].strings[3], "am-two");
    EXPECT_EQ(restored[0].strings[4].size(), 19u);
    EXPECT_EQ(restored[1].strings[1], "1");
    EXPECT_EQ(restored[1].strings[2], "10.1.2.3");
}

TEST_F(PersistentStateTest, AMissingRevisionOrGrantTimeIsReportedButRestores)
{
    WriteState(kSubKey, 0, "System Time Acquired");
    WriteState("{00000000000000000000000000000001}", 1, "Revision");
    std::string trace;
    ASSERT_TRUE(Restore(&trace));
    EXPECT_NE(trace.find("qssGetPersistentState (1537): Error reading System Time Acquired from registry."),
              std::string::npos);
    EXPECT_NE(trace.find("qssGetPersistentState (1517): Error reading Revision from registry."), std::string::npos);
    EXPECT_EQ(EventsWithId("0x4C000017").size(), 2u);

    // Without a grant time the local time cannot be formed: reported, and left empty.
    bool conversionReported = false;
    for (const dvtest::EventRecord& event : EventsWithId("0xCC000007")) {
        conversionReported |= event.strings.size() == 1 &&
                              event.strings[0].find("Qss_RetrieveParameters (1420)") != std::string::npos;
    }
    EXPECT_TRUE(conversionReported);
    std::vector<dvtest::EventRecord> restored = EventsWithId("0x4C000017");
    ASSERT_EQ(restored[1].strings.size(), 5u);
    EXPECT_EQ(restored[1].strings[4], "");
}

struct BadKey {
    const char* name;
    DWORD holder;
    const char* leaveOut;
    const char* trace;
    const char* internalError; // "" when the restore-failed event alone reports it
};

class PersistentStateBadKeyTest : public PersistentStateTest, public ::testing::WithParamInterface<BadKey> {};

TEST_P(PersistentStateBadKeyTest, FailsTheStartNamingTheKeyAndDeletesNothing)
{
    const BadKey& bad = GetParam();
    WriteState(bad.name, bad.holder, bad.leaveOut);
    std::string trace;
    EXPECT_FALSE(Restore(&trace));
    EXPECT_NE(trace.find(bad.trace), std::string::npos) << trace;

    std::vector<dvtest::EventRecord> internal = EventsWithId("0xCC000013");
    if (*bad.internalError) {
        ASSERT_EQ(internal.size(), 1u);
        EXPECT_EQ(internal[0].strings, std::vector<std::string>{bad.internalError});
    } else {
        EXPECT_TRUE(internal.empty());
    }
    std::vector<dvtest::EventRecord> failed = EventsWithId("0xCC000015");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings, std::vector<std::string>{bad.name});
    EXPECT_EQ(failed[0].data.size(), 2u * QSS_PERSISTENT_SUBKEY_SIZE);
    EXPECT_EQ(FirstPersistedKey(), bad.name);
    EXPECT_TRUE(EventsWithId("0x4C000017").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PersistentStateBadKeyTest,
    ::testing::Values(BadKey{"{1}", 0, "", "_stscanf_s converted 1 field(s)", "Qss_RetrieveParameters (1215)"},
                      BadKey{"{1 2}", 0, "", "Incorrect PVM ID conversion: {1 2} != {00000000000000010000000000000002}",
                             "Qss_RetrieveParameters (1278)"},
                      BadKey{kSubKey, 2, "", "qssGetPersistentState (1568): Invalid Quorum Holder data value (2).", ""},
                      BadKey{kSubKey, 0, "AM2 Port", "qssGetPersistentState (1692): Error reading AM2 Port from registry.",
                             ""},
                      BadKey{kSubKey, 0, "Quorum Holder",
                             "qssGetPersistentState (1551): Error reading Quorum Holder from registry.", ""}));

}  // namespace
