// Listing and checking over pages a test hands out: what a server's pages must hold before
// anything of them is shown as registered, and a total no listing sets out to hold.
#include "provisioning/device_inventory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "wire/device_listing.h"

namespace velquor::provisioning {
namespace {

wire::ListedDevice mine(std::string mac) {
    return {std::move(mac), wire::ListedState::Mine, "2026-12-09T01:23:45Z", "https://p/"};
}

std::string macNumber(int i) {
    char mac[13];
    std::snprintf(mac, sizeof mac, "0200000%05x", i);
    return mac;
}

// Pages from a function of the query, as a server would send them.
PageFetcherFactory pagesFrom(std::function<wire::ListingPage(const wire::ListingQuery&)> answer) {
    return [answer] {
        return PageFetcher([answer](const wire::ListingQuery& query) {
            return support::Result<wire::ListingPage>(answer(query));
        });
    };
}

// A listing of total rows numbered from 0, each page as asked; shift moves the MACs of every
// page after the first back by that many, so that rows repeat across pages.
wire::ListingPage numberedPage(std::uint64_t total, std::uint64_t start, int shift = 0) {
    wire::ListingPage page{total, start, false, {}};
    const std::uint64_t end = std::min<std::uint64_t>(total, start + wire::kListingPageRows);
    for (std::uint64_t row = start; row < end; ++row) {
        page.rows.push_back(mine(macNumber(static_cast<int>(row) - (start > 0 ? shift : 0))));
    }
    page.more = end < total;
    return page;
}

std::string errorOf(const support::Result<std::vector<RegisteredDevice>>& listed) {
    return listed.ok() ? std::string("(listed)") : listed.error().message;
}

// A first page announcing more devices than any account holds ends the listing with the
// number, before anything is set aside for them: no second page is asked for.
TEST(DeviceInventoryTest, AnImplausibleTotalIsRefusedBeforeAnythingIsHeld) {
    for (const std::uint64_t total :
         {std::uint64_t{999'999'999'999}, std::uint64_t{20'000'000}, kMostListedDevices + 1}) {
        // Past the first page the test's server stops, so a listing that sets out to hold the
        // total ends at once with another reason.
        std::atomic<int> asked{0};
        auto fetchers = [&] {
            return PageFetcher([&](const wire::ListingQuery& query) {
                if (++asked > 1) {
                    return support::Result<wire::ListingPage>(
                        support::makeError(support::ErrorCode::Network, "the test's server stops"));
                }
                return support::Result<wire::ListingPage>(numberedPage(total, query.start));
            });
        };
        support::NullProgress none;
        const auto listed = listDevices(fetchers, {"alice", ""}, none, {});
        EXPECT_NE(errorOf(listed).find("announces " + std::to_string(total) + " devices"),
                  std::string::npos)
            << errorOf(listed);
        EXPECT_EQ(asked, 1);
        asked = 0;
        const auto checked = checkDevices(fetchers, "alice", {macNumber(1)}, none, {});
        ASSERT_FALSE(checked.ok());
        EXPECT_NE(checked.error().message.find("more than the 10000000"), std::string::npos);
    }
}

// Rows arrive in canonical MAC order: a second page that repeats the first page's last rows,
// or steps back, means the devices moved between pages.
TEST(DeviceInventoryTest, RepeatedOrDescendingRowsStopTheListing) {
    for (const int shift : {1, 500}) {
        auto fetchers = pagesFrom([&](const wire::ListingQuery& query) {
            return numberedPage(2500, query.start, shift);
        });
        support::NullProgress none;
        const auto listed = listDevices(fetchers, {"alice", ""}, none, {});
        EXPECT_NE(errorOf(listed).find("row 1001 repeats or precedes"), std::string::npos)
            << errorOf(listed);
    }
    auto whole =
        pagesFrom([](const wire::ListingQuery& query) { return numberedPage(2500, query.start); });
    support::NullProgress none;
    const auto listed = listDevices(whole, {"alice", ""}, none, {});
    ASSERT_TRUE(listed.ok()) << errorOf(listed);
    EXPECT_EQ(listed->size(), 2500u);
    EXPECT_EQ(listed->back().mac, macNumber(2499));
}

// A listed row is one's own only in canonical form and marked MINE.
TEST(DeviceInventoryTest, AListedRowNotCanonicalOrNotMineIsRefused) {
    for (const auto& row : {mine("0200000000AA"), mine("02:00:00:00:00:aa"),
                            wire::ListedDevice{"0200000000aa", wire::ListedState::Other, "", ""}}) {
        auto fetchers = pagesFrom([&](const wire::ListingQuery&) {
            return wire::ListingPage{1, 0, false, {row}};
        });
        support::NullProgress none;
        const auto listed = listDevices(fetchers, {"alice", ""}, none, {});
        EXPECT_NE(errorOf(listed).find("row 1 of the server's listing"), std::string::npos)
            << errorOf(listed);
    }
}

// The question about one MAC is answered by one row at most, with the total it says; a page
// whose total disagrees is no answer.
TEST(DeviceInventoryTest, AOneMacAnswerWhoseTotalDisagreesIsRefused) {
    const std::string asked = macNumber(7);
    auto fetchers = pagesFrom([&](const wire::ListingQuery& query) {
        if (query.macAddress.empty()) return wire::ListingPage{0, 0, false, {}};
        return wire::ListingPage{2, 0, false, {mine(asked)}};
    });
    support::NullProgress none;
    const auto checked = checkDevices(fetchers, "alice", {asked}, none, {});
    ASSERT_FALSE(checked.ok());
    EXPECT_NE(checked.error().message.find("one MAC address with 2 devices"), std::string::npos)
        << checked.error().message;
}

}  // namespace
}  // namespace velquor::provisioning
