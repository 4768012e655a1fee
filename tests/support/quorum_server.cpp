#include "support/quorum_server.h"

#include "Qss/config/parameters.h"
#include "Qss/quorum/instance_lock.h"
#include "support/event_log.h"

namespace dvtest {

void QuorumServerTest::StartServer()
{
    qssInstanceRetainTime = retainTime;
    qssMaxInstanceNum = maxInstances;
    ASSERT_TRUE(server_.Start());
}

void QuorumServerTest::TearDown()
{
    server_.Stop();
    qssInstanceRetainTime = QSS_DEFAULT_INSTANCE_RETAIN_TIME;
    qssMaxInstanceNum = QSS_DEFAULT_MAX_INSTANCE_NUM;
}

void QuorumServerTest::WithInstance(const PvmId& pvm, const std::function<void(QSS_INSTANCE*)>& f)
{
    EnterCriticalSection(&qssInstanceLock);
    f(qssFindInstance(pvm.bytes));
    LeaveCriticalSection(&qssInstanceLock);
}

bool QuorumServerTest::InstanceExists(const PvmId& pvm)
{
    bool exists = false;
    WithInstance(pvm, [&](QSS_INSTANCE* record) { exists = record != nullptr; });
    return exists;
}

bool QuorumServerTest::WaitForInstance(const PvmId& pvm, const std::function<bool(QSS_INSTANCE*)>& predicate)
{
    for (int i = 0; i < 1000; ++i) {
        bool holds = false;
        WithInstance(pvm, [&](QSS_INSTANCE* record) { holds = predicate(record); });
        if (holds) return true;
        Sleep(10);
    }
    return false;
}

int QuorumServerTest::EventCount(const std::string& id)
{
    int count = 0;
    for (const EventRecord& event : ReadEventLog()) count += event.id == id;
    return count;
}

std::vector<std::string> QuorumServerTest::LastEventStrings(const std::string& id)
{
    std::vector<std::string> strings;
    for (const EventRecord& event : ReadEventLog()) {
        if (event.id == id) strings = event.strings;
    }
    return strings;
}

}  // namespace dvtest
