// qsctl's commands against a real server on loopback: what they print, in
// text and JSON, their exit codes, and their retransmissions.
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Qss/net/reply.h"
#include "support/qsctl_tool.h"
#include "support/quorum_server.h"
#include "support/run_tool.h"

namespace {

std::string Qsctl(const std::string& arguments, int* status)
{
    return dvtest::RunTool("qsctl " + arguments, status);
}

const std::string kPvm = "00010203-0405-0607-0809-0a0b0c0d0e0f";
const std::string kOtherPvm = "f0e0d0c0-b0a0-9080-7060-504030201000";

class QsctlTest : public dvtest::QuorumServerTest {
protected:
    void SetUp() override { StartServer(); }

    // "--port N" of the server.
    std::string Port() const { return " --port " + std::to_string(server_.port()) + " "; }

    // Runs qsctl and expects the exit status.
    std::string Run(const std::string& arguments, int expected)
    {
        int status;
        std::string output = Qsctl(arguments, &status);
        EXPECT_EQ(status, expected) << "qsctl " << arguments << "\n" << output;
        return output;
    }

    // Runs qsctl --json, expects the exit status and one JSON object.
    dvtest::JsonObject RunJson(const std::string& arguments, int expected)
    {
        std::vector<dvtest::JsonObject> objects = dvtest::ParseJsonLines(Run("--json " + arguments, expected));
        EXPECT_EQ(objects.size(), 1u) << arguments;
        return objects.empty() ? dvtest::JsonObject() : objects[0];
    }
};

TEST_F(QsctlTest, QueryServicePrintsTheServersInformationAsTextAndJson)
{
    std::string port = std::to_string(server_.port());
    std::string output = Run("query-service 127.0.0.1" + Port(), 0);
    EXPECT_NE(output.find("Quorum server at 127.0.0.1:" + port), std::string::npos) << output;
    EXPECT_NE(output.find("Host name:        DVNETTEST"), std::string::npos) << output;
    EXPECT_NE(output.find(std::string("Server identity:  ") + dvtest::QssServer::kServerId), std::string::npos);
    EXPECT_NE(output.find("Active instances: 0"), std::string::npos) << output;

    dvtest::JsonObject json = RunJson("query-service 127.0.0.1" + Port(), 0);
    EXPECT_EQ(json["command"], "query-service");
    EXPECT_EQ(json["answered"], "true");
    EXPECT_EQ(json["hostName"], "DVNETTEST");
    EXPECT_EQ(json["serverId"], dvtest::QssServer::kServerId);
    EXPECT_EQ(json["port"], port);
    EXPECT_EQ(json["protocol"], "5.0");
    EXPECT_EQ(json["activeInstances"], "0");
    EXPECT_EQ(json["component"], "ZelQSS");
}

// The server's text fields are bytes: each is read as the Latin-1 character of
// its value, so the JSON is valid (and ASCII) whatever they hold.
TEST_F(QsctlTest, JsonIsValidWhateverBytesTheServerSends)
{
    const char hostName[] = "Q\"\\\x01\n\x7f\xc3(\xff";
    const char serverId[] = "id\t\x80\xe9\xc3\xa9";
    StringCbCopyA(qssServerInfo.hostName, sizeof(qssServerInfo.hostName), hostName);
    StringCbCopyA(qssServerInfo.serverId, sizeof(qssServerInfo.serverId), serverId);
    std::string output = Run("--json query-service 127.0.0.1" + Port(), 0);
    for (char c : output) ASSERT_LT(static_cast<unsigned char>(c), 0x80) << output;
    nlohmann::json json = nlohmann::json::parse(output, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << output;
    EXPECT_EQ(json["hostName"], "Q\"\\\x01\n\x7f\xc3\x83(\xc3\xbf");
    EXPECT_EQ(json["serverId"], "id\t\xc2\x80\xc3\xa9\xc3\x83\xc2\xa9");
}

TEST(QsctlScanTest, ScanListsTheServersOnEveryAddressOfAHostOrAList)
{
    dvtest::QssServer server({"127.0.0.1", "127.0.0.2"});
    ASSERT_TRUE(server.Start());
    std::string port = std::to_string(server.port());
    int status;
    // qsctl finds the host's addresses in the same hosts file as the server.
    std::string output = Qsctl(std::string("scan ") + dvtest::QssServer::kHostName + " --port " + port, &status);
    EXPECT_EQ(status, 0) << output;
    for (const std::string address : {"127.0.0.1:", "127.0.0.2:"}) {
        size_t row = output.find("\n" + address + port + " ");
        ASSERT_NE(row, std::string::npos) << output;
        std::string line = output.substr(row + 1, output.find('\n', row + 1) - row - 1);
        EXPECT_NE(line.find(std::string(" DVNETTEST ")), std::string::npos) << line;
        EXPECT_NE(line.find(dvtest::QssServer::kServerId), std::string::npos) << line;
    }

    // The older name still works; an address without a server is listed as not answering.
    output = Qsctl("--json --timeout 50 --retries 0 scan-service 127.0.0.2 127.0.0.3 --port " + port, &status);
    server.Stop();
    EXPECT_EQ(status, 0) << output;
    std::vector<dvtest::JsonObject> servers = dvtest::ParseJsonLines(output);
    ASSERT_EQ(servers.size(), 2u) << output;
    EXPECT_EQ(servers[0]["server"], "127.0.0.2:" + port);
    EXPECT_EQ(servers[0]["answered"], "true");
    EXPECT_EQ(servers[0]["address"], "127.0.0.2");
    EXPECT_EQ(servers[0]["serverId"], dvtest::QssServer::kServerId);
    EXPECT_EQ(servers[1]["server"], "127.0.0.3:" + port);
    EXPECT_EQ(servers[1]["answered"], "false");
}

TEST_F(QsctlTest, InstanceCommandsPrintTheirRepliesAsTextAndJson)
{
    std::string output = Run("attach 127.0.0.1 " + kPvm + " 1 --instance-timeout 60000" + Port(), 0);
    EXPECT_NE(output.find("attach from 127.0.0.1:"), std::string::npos) << output;
    EXPECT_NE(output.find("status: 0 SUCCESS"), std::string::npos) << output;

    dvtest::JsonObject json = RunJson("keepalive 127.0.0.1 " + kPvm + " 1" + Port(), 0);
    EXPECT_EQ(json["command"], "keepalive");
    EXPECT_EQ(json["pvm"], kPvm);
    EXPECT_EQ(json["am"], "1");
    EXPECT_EQ(json["statusName"], "SUCCESS");
    EXPECT_EQ(json["protocolRevision"], "0x00050000");
    EXPECT_TRUE(json.count("sinceLastKeepaliveAm1") && json.count("sinceLastKeepaliveAm2"));

    output = Run("query-instance 127.0.0.1 {" + kPvm + "}" + Port(), 0);
    EXPECT_NE(output.find("instance known: 1"), std::string::npos) << output;
    EXPECT_NE(output.find("ONLINE RELEASE"), std::string::npos) << output;
    json = RunJson("query-instance 127.0.0.1 " + kPvm + Port(), 0);
    EXPECT_EQ(json["instanceKnown"], "true");
    EXPECT_EQ(json["am1.address"], "127.0.0.1");
    EXPECT_EQ(json["am1.online"], "true");
    EXPECT_EQ(json["am1.hold"], "false");
    EXPECT_EQ(json["am2.online"], "false");

    json = RunJson("detach 127.0.0.1 " + kPvm + " 1" + Port(), 0);
    EXPECT_EQ(json["status"], "0");
    json = RunJson("query-instance 127.0.0.1 " + kPvm + Port(), 3);
    EXPECT_EQ(json["statusName"], "NOT_ATTACHED");
    EXPECT_EQ(json["instanceKnown"], "false");
}

TEST_F(QsctlTest, ExitCodesFollowTheStatusClass)
{
    const std::string pvm = " 127.0.0.1 " + kPvm + " ";
    Run("attach" + pvm + "1" + Port(), 0);
    Run("attach" + pvm + "2" + Port(), 0);
    // The lone voter is answered when its window closes; health beyond 32 bits is taken whole.
    dvtest::JsonObject json = RunJson("acquire" + pvm + "1 --health 0x100000000 --window 100" + Port(), 0);
    EXPECT_EQ(json["statusName"], "SUCCESS");
    std::string output = Run("acquire" + pvm + "2 --health 5 --window 0" + Port(), 4);
    EXPECT_NE(output.find("status: 5 QUORUM_DENIED"), std::string::npos) << output;
    Run("acquire" + pvm + "1 --window 0" + Port(), 5);  // ALREADY_HOLDING
    Run("release" + pvm + "2" + Port(), 5);             // NOT_HOLDING
    Run("keepalive 127.0.0.1 " + kOtherPvm + " 1" + Port(), 3);
    Run("release" + pvm + "1" + Port(), 0);
}

TEST_F(QsctlTest, StatusPrintsOneRowPerPvm)
{
    const std::string pvm = " 127.0.0.1 " + kPvm + " ";
    Run("attach" + pvm + "2" + Port(), 0);
    Run("acquire" + pvm + "2 --window 0" + Port(), 0);
    std::string output = Run("status 127.0.0.1 " + kPvm + " " + kOtherPvm + Port(), 0);
    EXPECT_NE(output.find("PVM"), std::string::npos) << output;
    size_t row = output.find(kPvm + "  0.0.0.0:0");
    ASSERT_NE(row, std::string::npos) << output;
    std::string line = output.substr(row, output.find('\n', row) - row);
    EXPECT_NE(line.find("OFFLINE  RELEASE  127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(line.find("ONLINE   HOLD     SUCCESS"), std::string::npos) << line;
    EXPECT_NE(output.find(kOtherPvm + "  -"), std::string::npos) << output;
    EXPECT_NE(output.find("NOT_ATTACHED"), std::string::npos) << output;

    std::vector<dvtest::JsonObject> rows =
        dvtest::ParseJsonLines(Run("--json status 127.0.0.1 " + kPvm + " " + kOtherPvm + Port(), 0));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["pvm"], kPvm);
    EXPECT_EQ(rows[0]["am2.hold"], "true");
    EXPECT_EQ(rows[0]["am2.online"], "true");
    EXPECT_EQ(rows[0]["am1.hold"], "false");
    EXPECT_EQ(rows[1]["pvm"], kOtherPvm);
    EXPECT_EQ(rows[1]["statusName"], "NOT_ATTACHED");
}

TEST_F(QsctlTest, UnansweredRequestsAreRetransmittedWithTheirSequence)
{
    dvtest::LossyRelay relay(server_.port(), 2);
    std::string via = " --port " + std::to_string(relay.port()) + " --timeout 100 --retries 2 ";
    dvtest::JsonObject json = RunJson("attach 127.0.0.1 " + kPvm + " 1" + via, 0);
    EXPECT_EQ(json["attempts"], "3");
    json = RunJson("keepalive 127.0.0.1 " + kPvm + " 1" + via, 0);
    EXPECT_EQ(json["attempts"], "3");

    // Two requests per command (the service query, then the request), each sent three times.
    std::vector<dvtest::LossyRelay::Seen> seen = relay.seen();
    ASSERT_EQ(seen.size(), 12u);
    std::set<ULONGLONG> sequences;
    for (size_t i = 0; i < seen.size(); i += 3) {
        for (size_t j = 1; j < 3; ++j) {
            EXPECT_EQ(seen[i + j].sequence, seen[i].sequence) << i + j;
            EXPECT_EQ(seen[i + j].packetType, seen[i].packetType) << i + j;
        }
        sequences.insert(seen[i].sequence);
    }
    EXPECT_EQ(sequences.size(), 4u) << "every new request has a new sequence";
    EXPECT_EQ(seen[3].packetType, (uint32_t)ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE);
    EXPECT_EQ(seen[9].packetType, (uint32_t)ZEL_K_QS_PACKET_TYPE_KEEPALIVE);
}

TEST_F(QsctlTest, NoAnswerAfterTheRetriesExitsWith1)
{
    dvtest::LossyRelay relay(server_.port(), 100);
    std::string port = std::to_string(relay.port());
    std::string output = Run("query-service 127.0.0.1 --timeout 30 --retries 1 --port " + port, 1);
    EXPECT_NE(output.find("No answer from 127.0.0.1:" + port), std::string::npos) << output;
    dvtest::JsonObject json = RunJson("attach 127.0.0.1 " + kPvm + " 2 --timeout 30 --retries 0 --port " + port, 1);
    EXPECT_EQ(json["answered"], "false");

    std::vector<dvtest::LossyRelay::Seen> seen = relay.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].sequence, seen[1].sequence);
    EXPECT_NE(seen[2].sequence, seen[0].sequence);
}

TEST(QsctlArgumentsTest, BadArgumentsExitWith2AndSayWhy)
{
    const std::string pvm = " 00010203-0405-0607-0809-0a0b0c0d0e0f ";
    const struct {
        const char* arguments;
        const char* message;
    } kCases[] = {
        {"", "no command"},
        {"ask 127.0.0.1", "unknown command \"ask\""},
        {"query-service", "wrong number of arguments"},
        {"query-service 127.0.0.1 --port 65536", "--port: invalid value \"65536\""},
        {"query-service 127.0.0.1 --port 0", "--port: invalid value"},
        {"query-service 127.0.0.1 --port -1", "--port: invalid value \"-1\""},
        {"--timeout x query-service 127.0.0.1", "--timeout: invalid value"},
        {"query-service 127.0.0.1 --frob", "unknown option --frob"},
        {"query-service 127.0.0.1 --health 1", "--health does not apply"},
        {"detach 127.0.0.1 not-a-guid 1", "invalid PVM ID \"not-a-guid\""},
        {"detach 127.0.0.1 00010203-0405-0607-0809-0a0b0c0d0e0 1", "invalid PVM ID"},
        {"attach 127.0.0.1 00010203-0405-0607-0809-0a0b0c0d0e0f 3", "invalid AM number \"3\""},
        {"acquire 127.0.0.1 00010203-0405-0607-0809-0a0b0c0d0e0f 1 --health -1", "--health: invalid value"},
        {"status 127.0.0.1", "wrong number of arguments"},
        {"am 127.0.0.1 00010203-0405-0607-0809-0a0b0c0d0e0f 0", "invalid AM number"},
    };
    for (const auto& c : kCases) {
        int status;
        std::string output = Qsctl(c.arguments, &status);
        EXPECT_EQ(status, 2) << c.arguments;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.arguments << "\n" << output;
    }
}

TEST(QsctlArgumentsTest, HelpDescribesEachCommandAndTheExitCodes)
{
    int status;
    std::string output = Qsctl("--help", &status);
    EXPECT_EQ(status, 0);
    for (const char* text : {"qsctl scan HOST|ADDRESS...", "qsctl status HOST PVM-ID...", "qsctl am HOST PVM-ID AM",
                             "4  status 5 QUORUM_DENIED", "--retries N"})
        EXPECT_NE(output.find(text), std::string::npos) << text;
    output = Qsctl("acquire --help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("usage: qsctl acquire HOST PVM-ID AM"), std::string::npos) << output;
    EXPECT_NE(output.find("--window"), std::string::npos) << output;
    EXPECT_EQ(output.find("--instance-timeout"), std::string::npos) << output;
}

}  // namespace
