// qsctl's instance commands against a running server.
#include <string>

#include "support/quorum_server.h"
#include "support/run_tool.h"

namespace {

std::string Qsctl(const std::string& arguments, int* status)
{
    return dvtest::RunTool("qsctl " + arguments, status);
}

class QsctlInstanceTest : public dvtest::QuorumServerTest {
protected:
    void SetUp() override { StartServer(); }
};

TEST_F(QsctlInstanceTest, AttachKeepaliveQueryAndDetachPrintTheReplies)
{
    const std::string pvm = "00010203-0405-0607-0809-0a0b0c0d0e0f";
    const std::string where = "127.0.0.1 " + std::to_string(server_.port()) + " ";
    int status;
    std::string output = Qsctl("attach " + where + pvm + " 1 60000", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("status: 0 SUCCESS"), std::string::npos) << output;

    output = Qsctl("keepalive " + where + pvm + " 1", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("since last keepalive: AM1 "), std::string::npos) << output;

    output = Qsctl("query-instance " + where + "{" + pvm + "}", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("instance known: 1"), std::string::npos) << output;
    EXPECT_NE(output.find("AM1: 127.0.0.1:"), std::string::npos) << output;
    EXPECT_NE(output.find("ONLINE RELEASE"), std::string::npos) << output;

    output = Qsctl("detach " + where + pvm + " 2", &status);
    EXPECT_EQ(status, 3) << output;
    EXPECT_NE(output.find("status: 2 NOT_ATTACHED"), std::string::npos) << output;

    output = Qsctl("detach " + where + "not-a-guid 1", &status);
    EXPECT_EQ(status, 2) << output;
}

}  // namespace

namespace {

TEST_F(QsctlInstanceTest, AcquireWaitsForTheDecisionAndReleaseGivesTheQuorumBack)
{
    const std::string pvm = "00010203-0405-0607-0809-0a0b0c0d0e0f";
    const std::string where = "127.0.0.1 " + std::to_string(server_.port()) + " ";
    int status;
    ASSERT_EQ((Qsctl("attach " + where + pvm + " 1 60000", &status), status), 0);
    ASSERT_EQ((Qsctl("attach " + where + pvm + " 2 60000", &status), status), 0);

    // The lone voter is answered when its window closes.
    std::string output = Qsctl("acquire " + where + pvm + " 1 0x100000000 200", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("status: 0 SUCCESS"), std::string::npos) << output;

    output = Qsctl("acquire " + where + pvm + " 2 5 0", &status);
    EXPECT_EQ(status, 3) << output;
    EXPECT_NE(output.find("status: 5 QUORUM_DENIED"), std::string::npos) << output;

    output = Qsctl("release " + where + pvm + " 2", &status);
    EXPECT_EQ(status, 3) << output;
    EXPECT_NE(output.find("status: 7 NOT_HOLDING"), std::string::npos) << output;
    output = Qsctl("release " + where + pvm + " 1", &status);
    EXPECT_EQ(status, 0) << output;

    EXPECT_EQ((Qsctl("acquire " + where + pvm + " 1 -1 0", &status), status), 2);
}

}  // namespace
