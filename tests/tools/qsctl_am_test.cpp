// qsctl am, the peer simulator, as a child process against a real server.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "support/qsctl_tool.h"
#include "support/quorum_server.h"
#include "support/run_tool.h"

namespace {

std::string Qsctl(const std::string& arguments, int* status)
{
    return dvtest::RunTool("qsctl " + arguments, status);
}

const std::string kPvm = "0a0b0c0d-0405-0607-0809-0a0b0c0d0e0f";

class QsctlAmTest : public dvtest::QuorumServerTest {
protected:
    void SetUp() override { StartServer(); }

    std::string Peer(int am, const std::string& options) const
    {
        return "127.0.0.1 " + kPvm + " " + std::to_string(am) + " --port " + std::to_string(server_.port()) + " " +
               options;
    }
};

TEST_F(QsctlAmTest, TwoPeersContestAndExactlyOneIsGranted)
{
    dvtest::AmProcess am1(std::string(DORVANE_BINARY_DIR "/bin/qsctl"), Peer(1, "--json --health 5 --window 300 --keepalive-interval 50"));
    dvtest::AmProcess am2(std::string(DORVANE_BINARY_DIR "/bin/qsctl"), Peer(2, "--json --health 7 --window 300 --keepalive-interval 50"));
    ASSERT_TRUE(am1.WaitFor("\"event\":\"attached\"")) << am1.output();
    ASSERT_TRUE(am2.WaitFor("\"event\":\"attached\"")) << am2.output();
    am1.Type("");
    am2.Type("a");
    ASSERT_TRUE(am1.WaitFor("\"event\":\"quorum-")) << am1.output();
    ASSERT_TRUE(am2.WaitFor("\"event\":\"quorum-")) << am2.output();
    bool am1Won = am1.output().find("quorum-granted") != std::string::npos;
    bool am2Won = am2.output().find("quorum-granted") != std::string::npos;
    EXPECT_NE(am1Won, am2Won) << am1.output() << am2.output();
    EXPECT_NE(am1.output().find(am1Won ? "quorum-granted" : "quorum-denied"), std::string::npos);
    EXPECT_NE(am2.output().find(am2Won ? "quorum-granted" : "quorum-denied"), std::string::npos);

    int status;
    std::vector<dvtest::JsonObject> rows = dvtest::ParseJsonLines(
        Qsctl("--json status 127.0.0.1 " + kPvm + " --port " + std::to_string(server_.port()), &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["am1.hold"], am1Won ? "true" : "false");
    EXPECT_EQ(rows[0]["am2.hold"], am2Won ? "true" : "false");

    // The end of input detaches; every line the simulator printed is a JSON object with a time.
    am1.CloseInput();
    am2.CloseInput();
    EXPECT_TRUE(am1.WaitFor("\"event\":\"detached\"")) << am1.output();
    EXPECT_TRUE(am2.WaitFor("\"event\":\"detached\"")) << am2.output();
    EXPECT_EQ(am1.Wait(), 0);
    EXPECT_EQ(am2.Wait(), 0);
    for (const dvtest::JsonObject& event : dvtest::ParseJsonLines(am1.output())) {
        EXPECT_EQ(event.at("am"), "1");
        EXPECT_EQ(event.at("time").size(), 23u) << event.at("time");
    }
}

TEST_F(QsctlAmTest, SignalAsksForTheQuorumKeysReleaseAndCtrlCDetaches)
{
    dvtest::AmProcess am(std::string(DORVANE_BINARY_DIR "/bin/qsctl"), Peer(1, "--window 0"));
    ASSERT_TRUE(am.WaitFor("AM1 attached to PVM " + kPvm)) << am.output();
    am.Signal(SIGUSR1);
    ASSERT_TRUE(am.WaitFor("AM1 quorum granted")) << am.output();
    am.Type("r");
    ASSERT_TRUE(am.WaitFor("AM1 quorum released")) << am.output();
    am.Type("a");
    ASSERT_TRUE(am.WaitFor("AM1 quorum granted")) << am.output();
    am.Signal(SIGINT);
    EXPECT_TRUE(am.WaitFor("AM1 detached, still holding the quorum")) << am.output();
    EXPECT_EQ(am.Wait(), 0) << am.output();
}

TEST_F(QsctlAmTest, LostAnswersAreRetransmittedAndReportedLate)
{
    dvtest::LossyRelay relay(server_.port(), 1);
    dvtest::AmProcess am(std::string(DORVANE_BINARY_DIR "/bin/qsctl"), "127.0.0.1 " + kPvm + " 2 --port " + std::to_string(relay.port()) +
                                                     " --timeout 50 --retries 2 --keepalive-interval 50");
    ASSERT_TRUE(am.WaitFor("AM2 attached")) << am.output();
    ASSERT_TRUE(am.WaitFor("AM2 keepalive answered late, after 2 sends")) << am.output();
    am.Type("q");
    EXPECT_TRUE(am.WaitFor("AM2 detached")) << am.output();
    EXPECT_EQ(am.Wait(), 0);

    // Each request went out twice with its sequence, and no two requests shared one.
    std::vector<dvtest::LossyRelay::Seen> seen = relay.seen();
    ASSERT_GE(seen.size(), 6u);
    for (size_t i = 0; i + 1 < seen.size(); i += 2) {
        EXPECT_EQ(seen[i].sequence, seen[i + 1].sequence) << i;
        if (i >= 2) {
            EXPECT_NE(seen[i].sequence, seen[i - 2].sequence) << i;
        }
    }
}

TEST_F(QsctlAmTest, AnUnreachableServerIsReported)
{
    dvtest::AmProcess am(std::string(DORVANE_BINARY_DIR "/bin/qsctl"), "127.0.0.1 " + kPvm + " 1 --port " +
                                                     std::to_string(dvtest::FreeUdpPort()) +
                                                     " --timeout 20 --retries 1 --keepalive-interval 50");
    ASSERT_TRUE(am.WaitFor("query-service: no answer from 127.0.0.1:")) << am.output();
    ASSERT_TRUE(am.WaitFor("unreachable")) << am.output();
    am.CloseInput();
    EXPECT_TRUE(am.WaitFor("AM1 quitting")) << am.output();
    EXPECT_EQ(am.Wait(), 0);
}

}  // namespace
