// The load generator against a running server: its scenarios end by
// themselves, count what the server did, and never aim beyond loopback.
#include <cstring>
#include <string>

#include "support/decision_server.h"
#include "support/run_tool.h"

namespace {

std::string Qsload(const std::string& arguments, int* status)
{
    return dvtest::RunTool("qsload " + arguments, status);
}

// The PVM qsload simulates as number n: "QSLD", then n big-endian.
dvtest::PvmId LoadPvm(uint32_t n)
{
    dvtest::PvmId pvm = {};
    std::memcpy(pvm.bytes, "QSLD", 4);
    for (int i = 0; i < 4; ++i) pvm.bytes[15 - i] = (BYTE)(n >> (8 * i));
    return pvm;
}

class QsloadTest : public dvtest::DecisionServerTest {
protected:
    void SetUp() override { ASSERT_TRUE(StartFromRegistry()); }
    std::string server() const { return "--server 127.0.0.1:" + std::to_string(server_.port()); }
};

TEST_F(QsloadTest, FailoverGrantsEachPvmToItsHealthierAmAndPersistsIt)
{
    int status;
    std::string output = Qsload("failover " + server() + " --pvms 12 --sockets 4 --limit 60", &status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("RESULT scenario=attach pvms=12 peers=24 "), std::string::npos) << output;
    EXPECT_NE(output.find("failed=0"), std::string::npos) << output;
    EXPECT_NE(output.find("unanswered=0 not_one_winner=0 timeout_decided=0"), std::string::npos) << output;
    // AM1 is the healthier for odd PVMs, AM2 for even ones; the holder's slot is 0 for AM1.
    for (uint32_t n = 0; n < 12; ++n) {
        std::string values = PersistedValues(LoadPvm(n));
        const char* holder = n % 2 ? "\"Quorum Holder\"=dword:00000000" : "\"Quorum Holder\"=dword:00000001";
        EXPECT_NE(values.find(holder), std::string::npos) << n << "\n" << values;
    }
}

TEST_F(QsloadTest, KeepaliveRunsClosedAndOpenLoopsAgainstAttachedPeers)
{
    int status;
    std::string output =
        Qsload("keepalive " + server() + " --pvms 10 --sockets 3 --seconds 0.2 --rounds 1 --rate 200", &status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("RESULT scenario=keepalive mode=closed target=server pvms=10 "), std::string::npos)
        << output;
    EXPECT_NE(output.find("RESULT scenario=keepalive mode=open target=server pvms=10 rate=200 "), std::string::npos)
        << output;
    // Every peer attached first, so no keepalive is refused.
    size_t refusedNone = 0;
    for (size_t at = output.find("bad_status=0 "); at != std::string::npos; at = output.find("bad_status=0 ", at + 1))
        ++refusedNone;
    EXPECT_EQ(refusedNone, 2u) << output;
}

TEST_F(QsloadTest, MixedCyclesContestAndReleaseWhileKeepalivesGoOn)
{
    int status;
    std::string output = Qsload("mixed " + server() + " --pvms 6 --sockets 2 --interval 50 --instance-timeout 1000 --cycles 3", &status);
    ASSERT_EQ(status, 0) << output;
    // Each cycle grants every PVM once, to the same healthier AM; the winners
    // release between cycles, so every new contest starts free.
    for (int cycle = 0; cycle < 3; ++cycle) {
        size_t at = output.find("RESULT scenario=mixed-cycle pvms=6 ");
        ASSERT_NE(at, std::string::npos) << output;
        EXPECT_NE(output.find("unanswered=0 not_one_winner=0 timeout_decided=0", at), std::string::npos) << output;
        output.erase(0, at + 1);
    }
    EXPECT_EQ(output.find("RESULT scenario=mixed-cycle "), std::string::npos) << output;
    EXPECT_NE(output.find("cycles=3 grants=18 release_failures=0 "), std::string::npos) << output;
    EXPECT_NE(output.find("timed_out_peers=0"), std::string::npos) << output;
    // The last cycle's grants stay held.
    for (uint32_t n = 0; n < 6; ++n) EXPECT_NE(PersistedValues(LoadPvm(n)), "") << n;
}

TEST_F(QsloadTest, RefusesTargetsBeyondLoopbackAndUnboundedRuns)
{
    int status;
    std::string output = Qsload("keepalive --server 10.0.0.1:4557 --pvms 1", &status);
    EXPECT_EQ(status, 2) << output;
    output = Qsload("keepalive " + server() + " --seconds 100000", &status);
    EXPECT_EQ(status, 2) << output;
    output = Qsload("mixed " + server() + " --cycles 0", &status);
    EXPECT_EQ(status, 2) << output;
    output = Qsload("flood " + server(), &status);
    EXPECT_EQ(status, 2) << output;
}

}  // namespace
