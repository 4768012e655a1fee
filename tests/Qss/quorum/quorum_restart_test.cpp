// The quorum across restarts of the server on the same state folder, and the
// order of the grant's durable write and its answer.
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <limits.h>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "support/decision_server.h"
#include "support/event_log.h"

namespace {

// What the process asks of the kernel while recording is on: every sync, by
// path, and every datagram sent, by its reply type and status.
std::mutex recordLock;
bool recording = false;
std::vector<std::string> recorded;

void Record(const std::string& what)
{
    std::lock_guard<std::mutex> hold(recordLock);
    if (recording) recorded.push_back(what);
}

void RecordSync(int fd)
{
    char path[PATH_MAX] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), path, sizeof(path) - 1) > 0) Record(std::string("sync ") + path);
}

}  // namespace

extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    int result = real(fd);
    RecordSync(fd);
    return result;
}

extern "C" int fdatasync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    int result = real(fd);
    RecordSync(fd);
    return result;
}

extern "C" ssize_t sendto(int sock, const void* data, size_t size, int flags, const struct sockaddr* to,
                          socklen_t toSize)
{
    static auto real = reinterpret_cast<ssize_t (*)(int, const void*, size_t, int, const struct sockaddr*, socklen_t)>(
        dlsym(RTLD_NEXT, "sendto"));
    if (size == sizeof(QSS_STATUS_REPLY)) {
        const QSS_STATUS_REPLY* reply = static_cast<const QSS_STATUS_REPLY*>(data);
        Record("send " + std::to_string(reply->header.packetType) + " " + std::to_string(reply->status));
    }
    return real(sock, data, size, flags, to, toSize);
}

namespace {

using namespace dvtest;
constexpr DWORD kLongWindow = 60000;

const char* const kPersistedValueNames[] = {
    "Revision", "Quorum Holder", "Protocol Revision", "Protected VM Id", "Time Acquired", "System Time Acquired",
    "AM1 Id", "AM1 IP Address Sz", "AM1 IP Address Dw", "AM1 Port", "AM1 Keepalive Interval",
    "AM2 Id", "AM2 IP Address Sz", "AM2 IP Address Dw", "AM2 Port", "AM2 Keepalive Interval",
};

class QuorumRestartTest : public dvtest::DecisionServerTest {
protected:
    void AttachBoth(const PvmId& pvm, ULONGLONG sequence)
    {
        ASSERT_EQ(am1_.Attach(pvm, 1, kLongTimeout, sequence, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
        ASSERT_EQ(am2_.Attach(pvm, 2, kLongTimeout, sequence, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);
    }

    // The lone voter's grant, with a window of 0.
    uint32_t Acquire(AmClient& am, const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, DWORD window = 0)
    {
        am.SendAcquire(pvm, amNumber, window, 1, sequence, amNumber == 1 ? "am-one" : "am-two");
        Reply reply = am.Receive();
        EXPECT_EQ(reply.size, 60);
        EXPECT_EQ(reply.header().sequence, sequence);
        return reply.status();
    }

    // Deletes the persisted values of pvm from index first of the write order
    // on, or only the one at first when only is set.
    void CutValues(const PvmId& pvm, size_t first, bool only = false)
    {
        std::string key = std::string(QSS_PERSISTENT_STATES_KEY "\\") + dvtest::PersistentSubKey(pvm);
        HKEY sub;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &sub), ERROR_SUCCESS);
        for (size_t i = first; i < (only ? first + 1 : std::size(kPersistedValueNames)); ++i) {
            EXPECT_EQ(RegDeleteValueA(sub, kPersistedValueNames[i]), ERROR_SUCCESS);
        }
        RegCloseKey(sub);
    }
};

TEST_F(QuorumRestartTest, EveryHolderIsRestoredAndItsPartnerRefusedAtOnce)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId first = MakePvmId(1);
    PvmId second = MakePvmId(2);
    AttachBoth(first, 1);
    AttachBoth(second, 2);
    ASSERT_EQ(Acquire(am1_, first, 1, 10), ZEL_K_QS_STATUS_SUCCESS);
    ASSERT_EQ(Acquire(am2_, second, 2, 11), ZEL_K_QS_STATUS_SUCCESS);

    StopServer();
    ASSERT_TRUE(StartFromRegistry());
    EXPECT_EQ(EventCount("0x4C000017"), 2);
    WithInstance(first, [&](QSS_INSTANCE* record) {
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->am[0].bHold, 1);
        EXPECT_EQ(record->am[0].bOnline, 0);
        EXPECT_EQ(record->am[1].bHold, 0);
        EXPECT_EQ(record->protocolRevision, QSS_PROTOCOL_REVISION);
        EXPECT_STREQ(record->am[0].amId, "am-one");
        EXPECT_EQ(record->am[0].ipAddress, inet_addr("127.0.0.1"));
        EXPECT_EQ(record->am[0].port, ntohs(am1_.local().sin_port));
        EXPECT_EQ(record->am[0].keepaliveInterval, 1000u);
        EXPECT_NE(record->systemTimeAcquired.wYear, 0);
    });

    // Nobody has attached since the restart: the partner must first attach,
    // and is then refused at once.
    am1_.SendAcquire(second, 1, kLongWindow, ~0ull, 20, "am-one");
    EXPECT_EQ(am1_.Receive().status(), ZEL_K_QS_STATUS_NOT_ATTACHED);
    ASSERT_EQ(am1_.Attach(second, 1, kLongTimeout, 21, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Acquire(am1_, second, 1, 22, kLongWindow), ZEL_K_QS_STATUS_QUORUM_DENIED);
    // The holder comes back holding.
    ASSERT_EQ(am1_.Attach(first, 1, kLongTimeout, 23, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Acquire(am1_, first, 1, 24), ZEL_K_QS_STATUS_ALREADY_HOLDING);

    char guid[QSS_GUID_STRING_SIZE];
    Qss_PvmIdToGuidString(first.bytes, sizeof(guid), guid);
    std::vector<std::string> restored;
    for (const dvtest::EventRecord& event : dvtest::ReadEventLog()) {
        if (event.id == "0x4C000017" && event.strings.size() == 5 && event.strings[0] == guid) restored = event.strings;
    }
    ASSERT_EQ(restored.size(), 5u);
    EXPECT_EQ(restored[1], "1");
    EXPECT_EQ(restored[2], "127.0.0.1");
    EXPECT_EQ(restored[3], "am-one");
    EXPECT_EQ(restored[4].size(), 19u);
}

TEST_F(QuorumRestartTest, AfterAReleaseAndARestartTheQuorumIsFree)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId pvm = MakePvmId(3);
    AttachBoth(pvm, 1);
    ASSERT_EQ(Acquire(am2_, pvm, 2, 10), ZEL_K_QS_STATUS_SUCCESS);
    ASSERT_EQ(am2_.Release(pvm, 2, 11, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);

    StopServer();
    ASSERT_TRUE(StartFromRegistry());
    EXPECT_FALSE(InstanceExists(pvm));
    EXPECT_EQ(EventCount("0x4C000017"), 0);
    AttachBoth(pvm, 20);
    ASSERT_EQ(Acquire(am1_, pvm, 1, 21), ZEL_K_QS_STATUS_SUCCESS);
}

// A state folder the earlier folder store wrote, a folder per key and a
// value file in each, is imported at the first start: the holders come back.
TEST_F(QuorumRestartTest, AStartOnTheEarlierFolderStoreRestoresEveryHolderAndRefusesThePartners)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId first = MakePvmId(5);
    PvmId second = MakePvmId(6);
    AttachBoth(first, 1);
    AttachBoth(second, 2);
    ASSERT_EQ(Acquire(am1_, first, 1, 10), ZEL_K_QS_STATUS_SUCCESS);
    ASSERT_EQ(Acquire(am2_, second, 2, 11), ZEL_K_QS_STATUS_SUCCESS);
    // The value files hold the registry export's text of each key.
    std::vector<std::pair<std::string, std::string>> files = {
        {"Parameters", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\" QSS_PARAMETERS_KEY "]\n"
                       "\"MaxInstanceNum\"=dword:00000010\n"},
        {"Persistent States/" + PersistentSubKey(first), PersistedValues(first)},
        {"Persistent States/" + PersistentSubKey(second), PersistedValues(second)},
    };
    StopServer();

    dvtest::StateDir upgraded;
    for (const auto& [folder, text] : files) {
        std::string path = upgraded.file("registry/SYSTEM/CurrentControlSet/Services/Dorvane/" + folder);
        std::filesystem::create_directories(path);
        std::ofstream(path + "/.values.reg") << text;
    }
    ASSERT_TRUE(StartFromRegistry());
    EXPECT_EQ(EventCount("0x4C000017"), 2);
    EXPECT_TRUE(std::filesystem::exists(upgraded.file("registry.imported")));
    ASSERT_EQ(am2_.Attach(first, 2, kLongTimeout, 20, "am-two").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Acquire(am2_, first, 2, 21, kLongWindow), ZEL_K_QS_STATUS_QUORUM_DENIED);
    ASSERT_EQ(am1_.Attach(second, 1, kLongTimeout, 22, "am-one").status(), ZEL_K_QS_STATUS_SUCCESS);
    EXPECT_EQ(Acquire(am1_, second, 1, 23, kLongWindow), ZEL_K_QS_STATUS_QUORUM_DENIED);
    StopServer();
}

// A first grant cut short (the first values in their write order, or none)
// was never answered: removed with a warning. Any other gap may be a damaged
// holder's key: the start fails and names it.
TEST_F(QuorumRestartTest, AnInterruptedFirstGrantIsRemovedAndAnyOtherGapStopsTheStart)
{
    ASSERT_TRUE(StartFromRegistry());
    std::vector<PvmId> pvms;
    for (unsigned n = 0; n < 4; ++n) {
        pvms.push_back(MakePvmId(40 + n));
        AttachBoth(pvms.back(), 1);
        ASSERT_EQ(Acquire(am1_, pvms.back(), 1, 10 + n), ZEL_K_QS_STATUS_SUCCESS);
    }
    StopServer();
    CutValues(pvms[0], 0);
    CutValues(pvms[1], 1);
    CutValues(pvms[2], 15);

    ASSERT_TRUE(StartFromRegistry());
    EXPECT_EQ(EventCount("0x4C000017"), 1);
    std::set<std::string> removed;
    for (const dvtest::EventRecord& event : dvtest::ReadEventLog()) {
        if (event.id == "0x8C00001E" && event.strings.size() == 2) removed.insert(event.strings[0] + "=" + event.strings[1]);
    }
    EXPECT_EQ(removed, (std::set<std::string>{dvtest::PersistentSubKey(pvms[0]) + "=0",
                                              dvtest::PersistentSubKey(pvms[1]) + "=1",
                                              dvtest::PersistentSubKey(pvms[2]) + "=15"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(InstanceExists(pvms[i]));
        EXPECT_EQ(PersistedValues(pvms[i]), "");
    }

    StopServer();
    CutValues(pvms[3], 9, true); // "AM1 Port"
    EXPECT_FALSE(StartFromRegistry());
    EXPECT_EQ(LastEventStrings("0xCC000015"), std::vector<std::string>{dvtest::PersistentSubKey(pvms[3])});
}

TEST_F(QuorumRestartTest, TheGrantIsDurableOnDiskBeforeItIsAnswered)
{
    ASSERT_TRUE(StartFromRegistry());
    PvmId pvm = MakePvmId(4);
    AttachBoth(pvm, 1);
    {
        std::lock_guard<std::mutex> hold(recordLock);
        recorded.clear();
        recording = true;
    }
    am1_.SendAcquire(pvm, 1, kLongWindow, 4, 10, "am-one");
    ASSERT_TRUE(WaitForInstance(pvm, [](QSS_INSTANCE* r) { return r->am[0].bVoting == 1; }));
    am2_.SendAcquire(pvm, 2, kLongWindow, 5, 20, "am-two");
    Reply granted = am2_.Receive();
    // The moment the answer is here, every value of the grant is in the file.
    std::string values = PersistedValues(pvm);
    ASSERT_EQ(granted.status(), ZEL_K_QS_STATUS_SUCCESS);
    for (const char* name : kPersistedValueNames) {
        EXPECT_NE(values.find(std::string("\"") + name + "\"="), std::string::npos) << name;
    }
    EXPECT_NE(values.find("\"Quorum Holder\"=dword:00000001"), std::string::npos);
    EXPECT_EQ(am1_.Receive().status(), ZEL_K_QS_STATUS_QUORUM_DENIED);

    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> hold(recordLock);
        recording = false;
        events = recorded;
    }
    // The registry's log, which holds every value of the grant, was synced before the grant left.
    size_t logSync = events.size();
    size_t grantSent = events.size();
    const std::string log = "/registry.db-wal";
    for (size_t i = 0; i < events.size(); ++i) {
        const std::string& event = events[i];
        if (event.size() > log.size() && event.compare(event.size() - log.size(), log.size(), log) == 0 &&
            logSync == events.size())
            logSync = i;
        if (event == "send 12 0" && grantSent == events.size()) grantSent = i;
    }
    ASSERT_LT(grantSent, events.size());
    EXPECT_LT(logSync, grantSent);
}

}  // namespace
