// qsctl against a running server.
#include <string>

#include <gtest/gtest.h>

#include "support/qss_server.h"
#include "support/run_tool.h"

namespace {

// Runs qsctl with the arguments; its standard output, and its exit status in *status.
std::string RunQsctl(const std::string& arguments, int* status)
{
    return dvtest::RunTool("qsctl " + arguments, status);
}

TEST(QsctlTest, QueryServicePrintsTheServersInformation)
{
    dvtest::QssServer server;
    ASSERT_TRUE(server.Start());
    int status;
    std::string port = std::to_string(server.port());
    std::string output = RunQsctl("query-service 127.0.0.1 " + port, &status);
    server.Stop();

    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Quorum server at 127.0.0.1:" + port), std::string::npos) << output;
    EXPECT_NE(output.find("Host name:        DVNETTEST"), std::string::npos) << output;
    EXPECT_NE(output.find(std::string("Server identity:  ") + dvtest::QssServer::kServerId), std::string::npos)
        << output;
    EXPECT_NE(output.find("Protocol version: 5.0"), std::string::npos) << output;
    EXPECT_NE(output.find("Port:             " + port), std::string::npos) << output;
    EXPECT_NE(output.find("Active instances: 0"), std::string::npos) << output;
    EXPECT_NE(output.find("Component:        ZelQSS 7.1.0.0"), std::string::npos) << output;
}

TEST(QsctlTest, ScanServiceAsksEveryAddressOfTheHost)
{
    dvtest::QssServer server({"127.0.0.1", "127.0.0.2"});
    ASSERT_TRUE(server.Start());
    int status;
    std::string port = std::to_string(server.port());
    // qsctl finds the host's addresses in the same hosts file as the server.
    std::string output = RunQsctl(std::string("scan-service ") + dvtest::QssServer::kHostName + " " + port, &status);
    server.Stop();

    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Quorum server at 127.0.0.1:" + port), std::string::npos) << output;
    EXPECT_NE(output.find("Quorum server at 127.0.0.2:" + port), std::string::npos) << output;
    EXPECT_NE(output.find("Address:          127.0.0.2"), std::string::npos) << output;
}

TEST(QsctlTest, NoServerMeansNoAnswerAndFailure)
{
    int status;
    std::string port = std::to_string(dvtest::FreeUdpPort());
    std::string output = RunQsctl("--timeout 30 query-service 127.0.0.1 " + port, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("No answer from 127.0.0.1:" + port), std::string::npos) << output;
}

TEST(QsctlTest, WrongArgumentsPrintTheUsage)
{
    int status;
    for (const char* arguments : {"query-service", "ask 127.0.0.1", "query-service 127.0.0.1 65536",
                                  "query-service 127.0.0.1 -1", "--timeout x query-service 127.0.0.1"}) {
        std::string output = RunQsctl(arguments, &status);
        EXPECT_EQ(status, 2) << arguments;
        EXPECT_NE(output.find("qsctl"), std::string::npos) << arguments;
    }
}

}  // namespace
