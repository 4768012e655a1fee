// Who may talk to the server: the AllowedPeers list, over real loopback UDP
// from peers bound to different loopback addresses.
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Qss/diag/diag.h"
#include "Qss/net/peer_admission.h"
#include "Qss/net/peer_filter.h"
#include "qsclient.h"
#include "support/am_client.h"
#include "support/event_log.h"
#include "support/parameters.h"
#include "support/qss_server.h"

namespace {

DWORD RefusedDatagrams()
{
    return std::atomic_ref<DWORD>(qssGuardStats.refusedDatagrams).load();
}

std::vector<dvtest::EventRecord> RefusalEvents()
{
    std::vector<dvtest::EventRecord> found;
    for (const dvtest::EventRecord& event : dvtest::ReadEventLog()) {
        if (event.id == "0x8C000020") found.push_back(event);
    }
    return found;
}

class AllowedPeersTest : public ::testing::Test {
protected:
    void TearDown() override { server_.Stop(); }

    void Start(const std::vector<std::string>& allowed)
    {
        qssGuardStats.refusedDatagrams = 0;
        if (!allowed.empty()) {
            ASSERT_TRUE(dvtest::SetMultiString("AllowedPeers", allowed));
        }
        ASSERT_TRUE(server_.Start());
    }

    // Whether a QUERY_SERVICE from this loopback address is answered. The
    // probe from 127.0.0.1 (allowed by every list here) is answered after the
    // query has been handled, so a reply to the query would have come first.
    bool Answered(const char* address)
    {
        dvtest::AmClient peer(server_.port(), dvtest::ServerTarget(), address);
        QSS_PACKET_HEADER query;
        QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 1);
        peer.Send(&query, sizeof(query));
        EXPECT_EQ(probe_.Exchange(&query, sizeof(query)).size, 259) << "the probe is refused";
        return peer.Receive(address == std::string("127.0.0.1") ? 2000 : 50).size == 259;
    }

    dvtest::QssServer server_;
    dvtest::AmClient probe_{server_.port(), dvtest::ServerTarget()};
};

TEST_F(AllowedPeersTest, WithoutAListEveryoneIsAnswered)
{
    Start({});
    for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.200"}) EXPECT_TRUE(Answered(address)) << address;
    EXPECT_EQ(RefusedDatagrams(), 0u);
}

TEST_F(AllowedPeersTest, OnlyListedAddressesAreAnsweredAndRefusalsAreReportedOncePerInterval)
{
    // 127.0.0.16/30 is .16 to .19.
    qssRefusalReportInterval = 3600000;
    Start({"127.0.0.1", "127.0.0.2", "127.0.0.16/30"});
    EXPECT_TRUE(Answered("127.0.0.2"));
    EXPECT_TRUE(Answered("127.0.0.16"));
    EXPECT_TRUE(Answered("127.0.0.19"));
    EXPECT_FALSE(Answered("127.0.0.3"));
    EXPECT_FALSE(Answered("127.0.0.15"));
    EXPECT_FALSE(Answered("127.0.0.20"));
    EXPECT_EQ(RefusedDatagrams(), 3u);

    // The first refusal is reported at once, the rest when the interval has
    // passed or, as here, when the server stops.
    server_.Stop();
    std::vector<dvtest::EventRecord> events = RefusalEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, "warning");
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"127.0.0.3", "1"}));
    EXPECT_EQ(events[1].strings, (std::vector<std::string>{"127.0.0.20", "2"}));
}

TEST_F(AllowedPeersTest, EveryRefusalIsReportedWhenTheIntervalIsZero)
{
    qssRefusalReportInterval = 0;
    Start({"127.0.0.1/32"});
    EXPECT_FALSE(Answered("127.0.0.2"));
    EXPECT_FALSE(Answered("127.0.0.3"));
    EXPECT_EQ(RefusalEvents().size(), 2u);
}

TEST_F(AllowedPeersTest, ASlashZeroBlockAdmitsEveryAddress)
{
    Start({"0.0.0.0/0"});
    EXPECT_TRUE(Answered("127.0.0.2"));
    EXPECT_TRUE(Answered("127.255.255.254"));
    EXPECT_EQ(RefusedDatagrams(), 0u);
}

TEST(PeerFilter, EntriesAreAddressesOrBlocksWrittenExactly)
{
    QSS_ADDRESS_RANGE range;
    ASSERT_TRUE(qssParseAddressEntry("10.1.2.0/24", &range));
    EXPECT_EQ(range.first, 0x0A010200u);
    EXPECT_EQ(range.last, 0x0A0102FFu);
    ASSERT_TRUE(qssParseAddressEntry("10.1.2.77/24", &range)); // host bits ignored
    EXPECT_EQ(range.first, 0x0A010200u);
    ASSERT_TRUE(qssParseAddressEntry("192.0.2.17", &range));
    EXPECT_EQ(range.first, 0xC0000211u);
    EXPECT_EQ(range.last, 0xC0000211u);
    ASSERT_TRUE(qssParseAddressEntry("255.255.255.255/32", &range));
    EXPECT_EQ(range.first, 0xFFFFFFFFu);
    ASSERT_TRUE(qssParseAddressEntry("1.2.3.4/0", &range));
    EXPECT_EQ(range.first, 0u);
    EXPECT_EQ(range.last, 0xFFFFFFFFu);
    for (const char* bad : {"", "10.1.2", "10.1.2.3.4", "256.1.2.3", "10.1.2.0/33", "10.1.2.0/", "010.1.2.3",
                            " 10.1.2.3", "10.1.2.3 ", "10.1.2.3/24x", "10.1.2.-3", "fe80::1", "10.1.2.0/024"}) {
        EXPECT_FALSE(qssParseAddressEntry(bad, &range)) << bad;
    }
}

TEST(PeerFilter, TheTableMergesOverlapsAndFindsTheEdgesOfEachBlock)
{
    const char list[] = "10.0.0.8/29\0" "10.0.0.0/29\0" "10.0.0.4\0" "192.0.2.17\0" "255.255.255.255\0";
    QSS_PEER_FILTER filter;
    char bad[QSS_PEER_ENTRY_TEXT_SIZE];
    ASSERT_TRUE(qssBuildPeerFilter(list, sizeof(list), &filter, bad, sizeof(bad)));
    EXPECT_EQ(filter.entries, 5u);
    EXPECT_EQ(filter.count, 3u); // 10.0.0.0-10.0.0.15, 192.0.2.17, 255.255.255.255
    for (uint32_t in : {0x0A000000u, 0x0A00000Fu, 0xC0000211u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(qssPeerFilterContains(&filter, in)) << std::hex << in;
    }
    for (uint32_t out : {0u, 0x09FFFFFFu, 0x0A000010u, 0xC0000210u, 0xC0000212u, 0xFFFFFFFEu}) {
        EXPECT_FALSE(qssPeerFilterContains(&filter, out)) << std::hex << out;
    }
    qssFreePeerFilter(&filter);

    const char withGap[] = "10.0.0.1\0\0" "10.0.0.2\0";
    EXPECT_FALSE(qssBuildPeerFilter(withGap, sizeof(withGap), &filter, bad, sizeof(bad)));
    EXPECT_STREQ(bad, "an empty entry");
    const char badSecond[] = "10.0.0.1\0" "10.0.0.300\0";
    EXPECT_FALSE(qssBuildPeerFilter(badSecond, sizeof(badSecond), &filter, bad, sizeof(bad)));
    EXPECT_STREQ(bad, "10.0.0.300");
    EXPECT_EQ(filter.count, 0u);
}

}  // namespace
