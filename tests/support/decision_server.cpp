#include "support/decision_server.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Qss/config/parameters.h"
#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/net/server_thread.h"

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
    std::string file = std::string(getenv("DORVANE_STATE_DIR")) +
                       "/registry/SYSTEM/CurrentControlSet/Services/Dorvane/Persistent States/" +
                       PersistentSubKey(pvm) + "/.values.reg";
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace dvtest
