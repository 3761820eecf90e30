// What bounds the fetch log and the status under a flood: refusals and unknown names counted
// by their kind and network, one summary line per kind and interval; the rows of names outside
// the site kept to the most recent.
#include <gtest/gtest.h>

#include "serve/log/log_summary.h"
#include "serve/status/site_status.h"

namespace velquor::serve {
namespace {

using Steady = LogSummary::Steady;

FetchRecord request(const std::string& peer, int status, const std::string& mac = "") {
    FetchRecord record;
    record.time = Clock::now();
    record.peer = peer;
    record.method = "GET";
    record.path = "/" + (mac.empty() ? std::string("x") : mac) + ".xml";
    record.mac = mac;
    record.status = status;
    record.completed = true;
    return record;
}

TEST(LogSummary, TheFirstRefusalOfAKindIsLoggedAndTheRestCountedPerNetworkAndInterval) {
    LogSummary summary;
    const Steady::time_point start = Steady::now();
    // Phones' fetches and a site phone's missing name are never counted away.
    EXPECT_TRUE(summary.admit(request("192.0.2.1", 200, "001a2b3c4d5e"), false, start));
    EXPECT_TRUE(summary.admit(request("192.0.2.1", 200, "001a2b3c4d5e"), false, start));
    EXPECT_TRUE(summary.admit(request("192.0.2.1", 404, "001a2b3c4d5e"), true, start));
    EXPECT_TRUE(summary.admit(request("192.0.2.1", 404, "001a2b3c4d5e"), true, start));

    EXPECT_TRUE(summary.admit(request("192.0.2.1", 403), false, start));
    for (int i = 0; i < 500; ++i)
        EXPECT_FALSE(summary.admit(request("192.0.2." + std::to_string(i % 250), 403), false,
                                   start + std::chrono::milliseconds(i)));
    // Another reason, or another network, is a kind of its own.
    EXPECT_TRUE(summary.admit(request("192.0.2.1", 405), false, start));
    EXPECT_TRUE(summary.admit(request("198.51.100.1", 403), false, start));
    // A name outside the site is counted as a refusal is.
    EXPECT_TRUE(summary.admit(request("198.51.100.1", 404, "00aabbccddee"), false, start));
    EXPECT_FALSE(summary.admit(request("198.51.100.2", 404, "00aabbccddef"), false, start));

    EXPECT_TRUE(summary.due(start + std::chrono::seconds(9)).empty());
    const std::vector<FetchRecord> lines = summary.due(start + LogSummary::kInterval);
    ASSERT_EQ(lines.size(), 2u);  // the kinds with only their first say nothing more
    EXPECT_EQ(lines[0].status, 403);
    EXPECT_EQ(lines[0].peer, "192.0.2.0/24");
    EXPECT_EQ(lines[0].more, 500u);
    EXPECT_TRUE(lines[0].isSummary());
    EXPECT_EQ(summaryText(lines[0]), "403 forbidden: 500 more from 192.0.2.0/24 in the last 10 s");
    EXPECT_EQ(lines[1].status, 404);
    EXPECT_EQ(lines[1].more, 1u);

    // The next interval counts on; one that stays quiet lets the next first have its line.
    const Steady::time_point next = start + LogSummary::kInterval;
    EXPECT_FALSE(summary.admit(request("192.0.2.9", 403), false, next));
    EXPECT_EQ(summary.due(next + LogSummary::kInterval).at(0).more, 1u);
    EXPECT_TRUE(summary.due(next + 2 * LogSummary::kInterval).empty());
    EXPECT_TRUE(summary.admit(request("192.0.2.9", 403), false, next + 2 * LogSummary::kInterval));
    EXPECT_FALSE(summary.admit(request("192.0.2.9", 403), false, next + 2 * LogSummary::kInterval));
    // At the end every count is said, its interval over or not.
    EXPECT_EQ(summary.due(next + 2 * LogSummary::kInterval, true).size(), 1u);
}

TEST(LogSummary, KindsFromEveryNetworkAtOnceAreBounded) {
    LogSummary summary;
    const Steady::time_point start = Steady::now();
    std::size_t logged = 0;
    for (std::size_t i = 0; i < LogSummary::kMostKinds + 3000; ++i) {
        const std::string peer = "2001:db8:" + std::to_string(i) + ":1::1";
        if (summary.admit(request(peer, 403), false, start)) ++logged;
    }
    // Past the bound every further network counts under one kind, whose first is logged.
    EXPECT_EQ(logged, LogSummary::kMostKinds + 1);
    const std::vector<FetchRecord> lines = summary.due(start, true);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].peer, "*");
    EXPECT_EQ(lines[0].more, 2999u);
}

TEST(SiteStatus, NamesOutsideTheSiteKeepOnlyTheMostRecentRowsAndCountTheRest) {
    SiteStatus site({"001a2b3c4d5e"});
    // An unknown phone that fetched a file keeps its row: the folder bounds those.
    FetchRecord fetched = request("192.0.2.1", 200, "00aabbccdd00");
    fetched.file = "00aabbccdd00.xml";
    site.apply(fetched);
    const std::size_t flood = SiteStatus::kMostPhonesOutside + 500;
    for (std::size_t i = 0; i < flood; ++i) {
        char mac[13];
        std::snprintf(mac, sizeof mac, "02%010zx", i);
        site.apply(request("192.0.2.2", 404, mac));
        // The first name of the flood keeps asking: the most recent, it stays.
        if (i % 100 == 0) site.apply(request("192.0.2.2", 404, "020000000000"));
    }
    const std::vector<PhoneStatus> phones = site.phones();
    ASSERT_EQ(phones.size(), 2 + SiteStatus::kMostPhonesOutside);
    EXPECT_EQ(phones[0].mac, "001a2b3c4d5e");
    EXPECT_EQ(phones[1].mac, "00aabbccdd00");
    EXPECT_EQ(phones[2].mac, "020000000000");
    EXPECT_EQ(phones.back().mac, "0200000005db");
    EXPECT_EQ(site.counts().unknownPhones, 1 + SiteStatus::kMostPhonesOutside);
    EXPECT_EQ(site.counts().notListed, 500u);
    EXPECT_NE(summaryText(site.counts(), true).find("(500 more names asked, not listed)"),
              std::string::npos);

    // With no site the phones that fetched are all kept, whatever comes after.
    SiteStatus open;
    open.apply(fetched);
    for (std::size_t i = 0; i < flood; ++i) {
        char mac[13];
        std::snprintf(mac, sizeof mac, "02%010zx", i);
        open.apply(request("192.0.2.2", 404, mac));
    }
    EXPECT_EQ(open.phones().size(), 1 + SiteStatus::kMostPhonesOutside);
    EXPECT_EQ(open.phones()[0].state, PhoneState::Fetched);
    EXPECT_EQ(open.counts().fetched, 1u);
    EXPECT_EQ(open.counts().askedNotFound, SiteStatus::kMostPhonesOutside);
}

}  // namespace
}  // namespace velquor::serve
