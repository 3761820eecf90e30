// The LIST request and its reply: the layout byte for byte, and every way a reply can break it.
#include "wire/device_listing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace velquor::wire {
namespace {

std::string padded(const std::string& text, std::size_t width) {
    return text + std::string(width - text.size(), '\0');
}

ListedDevice mine(std::string mac, std::string server) {
    return {std::move(mac), ListedState::Mine, "2026-12-09T01:23:45Z", std::move(server)};
}

TEST(DeviceListing, RequestIsADeviceRecordWithTheStartRowInTheZeroArea) {
    auto record = buildListingRequest({"carol", "", 2000, ""});
    ASSERT_TRUE(record.ok()) << record.error().message;
    const std::string_view bytes = recordBytes(*record);
    EXPECT_EQ(bytes, padded("LIST", 64) + std::string(64, '\0') + std::string(128, '\0') +
                         padded("carol", 64) + padded("2000", 192));
    EXPECT_TRUE(isListingRequest(bytes));
    auto decoded = decodeListingRequest(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(*decoded, (ListingQuery{"carol", "", 2000, ""}));

    // The administrator names the account in the server field.
    auto forDave = buildListingRequest({"chief", "", 0, "dave"});
    ASSERT_TRUE(forDave.ok());
    EXPECT_EQ(recordBytes(*forDave).substr(128, 128), padded("dave", 128));
    auto daves = decodeListingRequest(recordBytes(*forDave));
    ASSERT_TRUE(daves.ok()) << daves.error().message;
    EXPECT_EQ(daves->account, "dave");

    // Any other device request is not a listing, and stays refused with bytes in that area.
    auto add = buildDeviceRequest({"ADD", "001122334455", "https://p/", "carol"});
    ASSERT_TRUE(add.ok());
    EXPECT_FALSE(isListingRequest(recordBytes(*add)));
    EXPECT_FALSE(decodeDeviceRequest(bytes).ok());
}

TEST(DeviceListing, MalformedRequestsAreRefused) {
    auto record = buildListingRequest({"carol", "001122334455", 0, ""});
    ASSERT_TRUE(record.ok());
    std::string bytes(recordBytes(*record));
    auto withStart = [&](std::string start) {
        std::string changed = bytes;
        std::memcpy(changed.data() + 320, start.data(), start.size());
        return decodeListingRequest(changed);
    };
    EXPECT_TRUE(withStart("7").ok());
    EXPECT_FALSE(withStart("-1").ok());
    EXPECT_FALSE(withStart("12a").ok());
    EXPECT_FALSE(withStart(std::string("5\0\0x", 4)).ok());   // a byte after the terminating zero
    EXPECT_FALSE(withStart("99999999999999999999999").ok());  // beyond 64 bits
    EXPECT_FALSE(decodeListingRequest(bytes.substr(0, 511)).ok());
}

TEST(DeviceListing, PageRoundTripsFieldByField) {
    ListingPage page{2500, 1000, true, {}};
    page.rows.push_back(mine("001122334455", std::string(128, 's')));
    page.rows.push_back(mine("0011223344e5", ""));
    auto reply = encodeListingPage(page);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    ASSERT_EQ(reply->size(), 64u + 2 * 192u);
    EXPECT_EQ(reply->substr(0, 64), padded("ROWS", 8) + padded("2500", 12) + padded("1000", 12) +
                                        padded("2", 8) + padded("MORE", 8) + std::string(16, '\0'));
    EXPECT_EQ(reply->substr(64, 48),
              padded("001122334455", 16) + padded("MINE", 8) + padded("2026-12-09T01:23:45Z", 24));

    auto shape = decodeListingHeader(reply->substr(0, 64));
    ASSERT_TRUE(shape.ok()) << shape.error().message;
    EXPECT_EQ(shape->total, 2500u);
    EXPECT_EQ(shape->start, 1000u);
    EXPECT_EQ(shape->count, 2u);
    EXPECT_TRUE(shape->more);
    for (std::size_t i = 0; i < 2; ++i) {
        auto row = decodeListingRow(reply->substr(64 + i * 192, 192));
        ASSERT_TRUE(row.ok()) << row.error().message;
        EXPECT_EQ(*row, page.rows[i]);
    }
}

TEST(DeviceListing, AnotherAccountsDeviceIsSaidWithoutItsRegistration) {
    ListingPage page{1, 0, false, {{"001122334455", ListedState::Other, "", ""}}};
    auto reply = encodeListingPage(page);
    ASSERT_TRUE(reply.ok());
    auto row = decodeListingRow(reply->substr(64));
    ASSERT_TRUE(row.ok()) << row.error().message;
    EXPECT_EQ(row->state, ListedState::Other);

    std::string leaky = *reply;
    std::memcpy(leaky.data() + 64 + 48, "https://x/", 10);
    EXPECT_FALSE(decodeListingRow(leaky.substr(64)).ok());
}

TEST(DeviceListing, ServerRefusesAPageThatWouldBreakTheLayout) {
    ListingPage tooMany{5000, 0, true, std::vector<ListedDevice>(1001, mine("001122334455", ""))};
    EXPECT_FALSE(encodeListingPage(tooMany).ok());
    EXPECT_FALSE(encodeListingPage({1, 0, false, {mine(std::string(17, 'a'), "")}}).ok());
    EXPECT_FALSE(encodeListingPage({1, 0, false, {mine("a", std::string(129, 's'))}}).ok());
    EXPECT_FALSE(encodeListingPage({3, 0, false, {mine("a", "")}}).ok());  // rows remain
    EXPECT_TRUE(encodeListingPage({0, 0, false, {}}).ok());
}

// Every header field that a broken or hostile server could get wrong stops the listing.
TEST(DeviceListing, ClientRefusesHeadersThatBreakTheLayout) {
    auto header = [](std::string total, std::string start, std::string count, std::string more,
                     std::string word = "ROWS") {
        return padded(word, 8) + padded(total, 12) + padded(start, 12) + padded(count, 8) +
               padded(more, 8) + std::string(16, '\0');
    };
    EXPECT_TRUE(decodeListingHeader(header("1000", "0", "1000", "END")).ok());
    EXPECT_TRUE(decodeListingHeader(header("0", "0", "0", "END")).ok());
    const std::string broken[] = {
        header("5000", "0", "1001", "MORE"),  // over the page limit
        header("10", "0", "11", "END"),       // more rows than the total
        header("10", "8", "5", "END"),        // past the total
        header("10", "0", "5", "END"),        // says last, rows remain
        header("10", "5", "5", "MORE"),       // says more, none remain
        header("10", "0", "5", "more"),       // not a mark
        header("1O", "0", "5", "MORE"),       // not a number
        header("10", "", "5", "MORE"),        // empty number
        header("10", "0", "5", "MORE", "YES"), header("10", "0", "5", "MORE").substr(0, 63),
    };
    for (const auto& bytes : broken) {
        EXPECT_FALSE(decodeListingHeader(bytes).ok()) << "accepted a broken header";
    }
    std::string tail = header("0", "0", "0", "END");
    tail[63] = 'x';
    EXPECT_FALSE(decodeListingHeader(tail).ok());
}

// What each phone was told travels only to a client that asks with the mark: an older client's
// request gets the 192-byte rows it reads, and an older server's refusal of the mark is the
// decoder's refusal of anything after the start row.
TEST(DeviceListing, WhatAPhoneWasToldTravelsOnlyToAClientThatAsks) {
    auto asked = buildListingRequest({"carol", "", 1000, "", true});
    ASSERT_TRUE(asked.ok());
    EXPECT_EQ(recordBytes(*asked).substr(320), padded("1000 ASKED", 192));
    EXPECT_EQ(*decodeListingRequest(recordBytes(*asked)),
              (ListingQuery{"carol", "", 1000, "", true}));
    auto older = buildListingRequest({"carol", "", 1000, ""});
    EXPECT_FALSE(decodeListingRequest(recordBytes(*older))->withAsked);

    ListedDevice told = mine("001122334455", "https://p/");
    told.askedAt = "2026-12-10T18:00:00Z";
    told.askedFrom = "2001:db8::7";
    told.askedAnswer = "redirected";
    ListingPage page{2, 0, false, {told, mine("001122334466", "https://q/")}, true};
    auto reply = encodeListingPage(page);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    ASSERT_EQ(reply->size(), 64 + 2 * kListingAskedRowSize);
    const auto shape = decodeListingHeader(reply->substr(0, 64));
    ASSERT_TRUE(shape.ok()) << shape.error().message;
    EXPECT_TRUE(shape->withAsked);
    auto first = decodeListingRow(reply->substr(64, kListingAskedRowSize), true);
    ASSERT_TRUE(first.ok()) << first.error().message;
    EXPECT_EQ(*first, told);
    auto never = decodeListingRow(reply->substr(64 + kListingAskedRowSize), true);
    ASSERT_TRUE(never.ok());
    EXPECT_TRUE(never->askedAt.empty());

    page.withAsked = false;  // what an older client is sent
    auto plain = encodeListingPage(page);
    ASSERT_EQ(plain->size(), 64 + 2 * kListingRowSize);
    EXPECT_FALSE(decodeListingHeader(plain->substr(0, 64))->withAsked);
    EXPECT_TRUE(decodeListingRow(plain->substr(64, kListingRowSize)).ok());

    std::string badTime = reply->substr(64, kListingAskedRowSize);
    std::memcpy(badTime.data() + 192, "yesterday", 9);
    EXPECT_FALSE(decodeListingRow(badTime, true).ok());
}

TEST(DeviceListing, ClientRefusesRowsThatBreakTheLayout) {
    auto reply = encodeListingPage({1, 0, false, {mine("001122334455", "https://p/")}});
    ASSERT_TRUE(reply.ok());
    const std::string row = reply->substr(64);
    auto changed = [&](std::size_t at, std::string bytes) {
        std::string copy = row;
        std::memcpy(copy.data() + at, bytes.data(), bytes.size());
        return decodeListingRow(copy);
    };
    EXPECT_FALSE(decodeListingRow(row.substr(0, 191)).ok());         // a short row
    EXPECT_FALSE(changed(16, std::string("HERS\0\0\0\0", 8)).ok());  // unknown state
    EXPECT_FALSE(changed(24, "2026-12-09 01:23:45Z").ok());          // not the UTC shape
    EXPECT_FALSE(changed(190, "x").ok());                            // the zero tail
    EXPECT_FALSE(changed(13, std::string("\0x", 2)).ok());           // past the MAC's zero
}

}  // namespace
}  // namespace velquor::wire
