#include "support/decision_server.h"

#include <vector>

#include "Qss/config/parameters.h"
#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/net/server_thread.h"
#include "platform/posix/registry_value_file.h"

namespace dvtest {

std::string PersistentSubKey(const PvmId& pvm)
{
    char name[QSS_PERSISTENT_SUBKEY_SIZE];
    EXPECT_TRUE(Qss_PvmIdToPersistentStateSubKey(pvm.bytes, sizeof(name), name));
    return name;
}

bool DecisionServerTest::StartFromRegistry()
{
    EXPECT_FALSE(running_);
    EXPECT_TRUE(Qss_RegSetSTRING("QSServerID", QssServer::kServerId, QSS_GUID_STRING_SIZE));
    EXPECT_TRUE(Qss_RegSetDWORD("QSServerPortForReceive", server_.port()));
    EXPECT_TRUE(Qss_RegSetDWORD("RescanIpAddressInterval", 50));
    EXPECT_TRUE(Qss_RegSetDWORD("InstanceRetainTimeAfterDetach", retainTime));
    EXPECT_TRUE(Qss_RegSetDWORD("MaxInstanceNum", maxInstances));
    if (!Qss_Initialize()) return false;
    running_ = true;
    if (!Qss_RetrieveParameters()) return false;
    EXPECT_TRUE(Qss_StartServerThread());
    return true;
}

void DecisionServerTest::StopServer()
{
    if (!running_) return;
    Qss_StopServerThread(1);
    running_ = false;
}

void DecisionServerTest::TearDown()
{
    StopServer();
    QuorumServerTest::TearDown();
    qssRescanInterval = QSS_DEFAULT_RESCAN_INTERVAL;
}

std::string DecisionServerTest::PersistedValues(const PvmId& pvm)
{
    static const char* const kNames[] = {
        "Revision", "Quorum Holder", "Protocol Revision", "Protected VM Id", "Time Acquired", "System Time Acquired",
        "AM1 Id", "AM1 IP Address Sz", "AM1 IP Address Dw", "AM1 Port", "AM1 Keepalive Interval",
        "AM2 Id", "AM2 IP Address Sz", "AM2 IP Address Dw", "AM2 Port", "AM2 Keepalive Interval",
    };
    std::string path = std::string(QSS_PERSISTENT_STATES_KEY) + "\\" + PersistentSubKey(pvm);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return "";
    std::vector<dvreg::Value> values;
    for (const char* name : kNames) {
        dvreg::Value value{name, 0, std::vector<BYTE>(256)};
        DWORD size = static_cast<DWORD>(value.data.size());
        if (RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) continue;
        value.data.resize(size);
        values.push_back(value);
    }
    RegCloseKey(key);
    if (values.empty()) return "";
    return dvreg::FormatValueFile("HKEY_LOCAL_MACHINE\\" + path, values);
}

}  // namespace dvtest
