// The in-process server started as the service starts it: its identity,
// tuning and persisted quorum holders read from the registry of the test's
// state folder. It can be stopped and started again on the same folder.
#pragma once

#include <string>

#include "support/quorum_server.h"

namespace dvtest {

class DecisionServerTest : public QuorumServerTest {
protected:
    // Writes the Parameters values a service would have, then runs the start
    // sequence: initialisation, the parameters (with the restore), the server
    // thread. The result of the parameters step.
    bool StartFromRegistry();
    // The stop a service control makes; the persisted state stays.
    void StopServer();
    void TearDown() override;

    // The values of the PVM's persisted subkey in the text form of a registry
    // export, "" when the subkey does not exist or holds none.
    std::string PersistedValues(const PvmId& pvm);

    bool running_ = false;
};

// The subkey name of a PVM ID under "Persistent States".
std::string PersistentSubKey(const PvmId& pvm);

}  // namespace dvtest
