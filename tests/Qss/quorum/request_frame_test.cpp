// The addressed-server check of the request frame, called directly: the
// identity fields compared within their sizes, ignoring case, up to the NUL.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"
#include "Qss/quorum/request_frame.h"

namespace {

class RequestIdentityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = qssServerInfo;
        std::memset(qssServerInfo.hostName, 0, sizeof(qssServerInfo.hostName));
        std::memset(qssServerInfo.serverId, 0, sizeof(qssServerInfo.serverId));
        // Long enough that the texts cross several eight-byte words.
        std::strcpy(qssServerInfo.hostName, "QUORUM-HOST-WITH-A-RATHER-LONG-NAME-0123456789");
        std::strcpy(qssServerInfo.serverId, "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
        std::memset(&request_, 0, sizeof(request_));
        request_.header.protocolRevision = QSS_PROTOCOL_REVISION;
        request_.header.packetType = ZEL_K_QS_PACKET_TYPE_KEEPALIVE;
        std::memcpy(request_.serverIdentity.hostName, qssServerInfo.hostName, sizeof(request_.serverIdentity.hostName));
        std::memcpy(request_.serverIdentity.serverId, qssServerInfo.serverId, sizeof(request_.serverIdentity.serverId));
    }
    void TearDown() override { qssServerInfo = saved_; }

    DWORD Validate() { return qssValidateRequest(&request_.header, 1); }

    QSS_SERVER_INFO saved_;
    QSS_AM_REQUEST request_;
};

TEST_F(RequestIdentityTest, EveryCharacterMattersUpToTheNulButNotItsCase)
{
    EXPECT_EQ(Validate(), QSS_REQUEST_OK);
    for (char* field : {request_.serverIdentity.hostName, request_.serverIdentity.serverId}) {
        size_t length = std::strlen(field);
        for (size_t i = 0; i < length; ++i) {
            char original = field[i];
            field[i] = (char)std::tolower((unsigned char)original);
            EXPECT_EQ(Validate(), QSS_REQUEST_OK) << "lower case at " << i;
            field[i] = original == '~' ? '}' : (char)(original + 1);
            EXPECT_EQ(Validate(), QSS_REQUEST_WRONG_SERVER) << "changed at " << i;
            field[i] = original;
        }
        // A text cut short, or one running on past the server's.
        char last = field[length - 1];
        field[length - 1] = 0;
        EXPECT_EQ(Validate(), QSS_REQUEST_WRONG_SERVER);
        field[length - 1] = last;
        field[length] = 'X';
        EXPECT_EQ(Validate(), QSS_REQUEST_WRONG_SERVER);
        field[length] = 0;
        EXPECT_EQ(Validate(), QSS_REQUEST_OK);
    }
}

TEST_F(RequestIdentityTest, BytesAfterTheNulAreIgnored)
{
    std::memset(request_.serverIdentity.hostName + 47, 'Z', sizeof(request_.serverIdentity.hostName) - 47);
    std::memset(request_.serverIdentity.serverId + 37, 'Z', sizeof(request_.serverIdentity.serverId) - 37);
    EXPECT_EQ(Validate(), QSS_REQUEST_OK);
}

TEST_F(RequestIdentityTest, AnIdentityOfEveryLengthMatchesOnlyItself)
{
    // The NUL falls at every position of a word, and at the field's last byte.
    for (size_t length = 0; length < sizeof(qssServerInfo.hostName); ++length) {
        std::memset(qssServerInfo.hostName, 0, sizeof(qssServerInfo.hostName));
        std::memset(qssServerInfo.hostName, 'h', length);
        std::memset(request_.serverIdentity.hostName, 0, sizeof(request_.serverIdentity.hostName));
        std::memset(request_.serverIdentity.hostName, 'H', length);
        EXPECT_EQ(Validate(), QSS_REQUEST_OK) << "length " << length;
        request_.serverIdentity.hostName[length] = 'H';
        EXPECT_EQ(Validate(), QSS_REQUEST_WRONG_SERVER) << "longer than " << length;
    }
}

}  // namespace
