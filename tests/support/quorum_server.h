// The in-process server with the quorum engine's tuning set for a test, AM
// clients, and access to the instance table under its lock.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "Qss/quorum/instance_table.h"
#include "support/am_client.h"
#include "support/qss_server.h"

namespace dvtest {

// An instance timeout that no test outlives.
constexpr DWORD kLongTimeout = 60000;

class QuorumServerTest : public ::testing::Test {
protected:
    // Tuning for the server about to start (defaults as a service would have them).
    DWORD retainTime = 300000;
    DWORD maxInstances = 4000;

    // Starts the server with the tuning above; tests that change it call this themselves.
    void StartServer();
    void TearDown() override;

    // Runs f with the record of pvm (nullptr when none) under qssInstanceLock.
    void WithInstance(const PvmId& pvm, const std::function<void(QSS_INSTANCE*)>& f);
    bool InstanceExists(const PvmId& pvm);
    // Polls (up to 10 s) until predicate holds for the record of pvm.
    bool WaitForInstance(const PvmId& pvm, const std::function<bool(QSS_INSTANCE*)>& predicate);
    // How many events with this identifier ("0x8C00000F") the log holds.
    int EventCount(const std::string& id);
    // The strings of the last event with this identifier.
    std::vector<std::string> LastEventStrings(const std::string& id);

    QssServer server_;
    // Two AMs talking to server_ as the server identifies itself.
    AmClient am1_{server_.port(), ServerTarget()};
    AmClient am2_{server_.port(), ServerTarget()};
};

}  // namespace dvtest
