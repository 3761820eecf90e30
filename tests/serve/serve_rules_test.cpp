// The phone server's rules without a network: which phone a name is for, which paths may be
// looked up, address ranges, the site read from a sheet, and the statuses the records make.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "serve/folder/phone_folder.h"
#include "serve/folder/phone_names.h"
#include "serve/request/peer_ranges.h"
#include "serve/status/site_sheet.h"
#include "serve/status/site_status.h"
#include "temp_dir.h"

namespace velquor::serve {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(MacInName, TheFirstMacInAnySpellingWhateverIsAroundIt) {
    for (const char* name : {"001A2B3C4D5E.xml", "001a2b3c4d5e.cfg", "cfg00:1a:2b:3c:4d:5e.XML",
                             "00-1A-2B-3C-4D-5E", "x001a.2b3c.4d5e.boot"})
        EXPECT_EQ(macInName(name), "001a2b3c4d5e") << name;
    for (const char* name : {"common.cfg", "firmware-2.1.bin", "001a2b3c4d5e6f.xml",
                             "a001a2b3c4d5e.xml", "000000000000.xml", "ffffffffffff.xml",
                             "011a2b3c4d5e.xml" /* a group address */, "00:1a-2b:3c:4d:5e.xml"})
        EXPECT_FALSE(macInName(name)) << name;
}

TEST(AskedFile, TheLastPartAskedInAnEnFolderOrNotAndNoDotParts) {
    auto asked = [](std::string_view path) { return askedFile(path); };
    EXPECT_EQ(asked("/prov/site1/001a2b3c4d5e.xml")->name, "001a2b3c4d5e.xml");
    EXPECT_FALSE(asked("/prov/site1/001a2b3c4d5e.xml")->encrypted);
    EXPECT_EQ(asked("/common.cfg")->name, "common.cfg");
    // The folder just before the name tells; an empty part between them does not hide it.
    for (const char* path : {"/en/a.xml", "/prov/site1/en/a.xml", "/EN/a.xml", "/En//a.xml"}) {
        ASSERT_TRUE(asked(path)) << path;
        EXPECT_EQ(asked(path)->name, "a.xml") << path;
        EXPECT_TRUE(asked(path)->encrypted) << path;
    }
    for (const char* path : {"/a.xml", "/en/x/a.xml", "/den/a.xml", "/ens/a.xml", "/en"})
        EXPECT_FALSE(asked(path)->encrypted) << path;
    for (const char* path :
         {"/", "/prov/", "/en/", "/../etc/passwd", "/a/./b.xml", "/.L", "/.ssh/id", "/a\\..\\b",
          "/x/..", "/a/../common.cfg", "/en/../a.xml", "/en/.hidden"})
        EXPECT_FALSE(asked(path)) << path;
    EXPECT_FALSE(asked(std::string("/a\0b", 4)));
    EXPECT_FALSE(asked("/" + std::string(300, 'a')));
}

TEST(PeerRanges, RangesOfBothFamiliesAndMappedAddresses) {
    PeerRanges ranges;
    ranges.add(*parsePeerRange("10.1.0.0/16"));
    ranges.add(*parsePeerRange("fd00::/8"));
    auto v4 = [](const char* text) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, text, &address.sin_addr);
        return address;
    };
    auto v6 = [](const char* text) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &address.sin6_addr);
        return address;
    };
    const auto inside = v4("10.1.200.3"), outside = v4("10.2.0.1");
    const auto mapped = v6("::ffff:10.1.0.9"), local = v6("fd12::1"), global = v6("2001:db8::1");
    EXPECT_TRUE(ranges.allows(reinterpret_cast<const sockaddr*>(&inside)));
    EXPECT_FALSE(ranges.allows(reinterpret_cast<const sockaddr*>(&outside)));
    EXPECT_TRUE(ranges.allows(reinterpret_cast<const sockaddr*>(&mapped)));
    EXPECT_TRUE(ranges.allows(reinterpret_cast<const sockaddr*>(&local)));
    EXPECT_FALSE(ranges.allows(reinterpret_cast<const sockaddr*>(&global)));
    EXPECT_TRUE(PeerRanges().allows(reinterpret_cast<const sockaddr*>(&global)));

    const auto refused = parsePeerRange("10.0.0.0/33");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, support::ErrorCode::Usage);
    EXPECT_EQ(refused.error().message.rfind("--allow '10.0.0.0/33'", 0), 0u)
        << refused.error().message;
}

TEST(SiteSheet, ADeviceSheetGivesColumnAAndAMacFileEveryMacCell) {
    TempDir dir;
    // A device sheet: a user id of twelve digits reads as a MAC address, but is no phone.
    writeFile(dir / "devices.csv",
              "MAC,Display,User,Auth,Password,Proxy,Port\n"
              "00:1A:2B:3C:4D:5E,Desk,441234567890,a,p,proxy,5060\n"
              "0015650a33fb,Hall,441234567891,b,q,proxy,5060\n"
              "001A2B3C4D5E,Again,1,c,r,proxy,5060\n");
    const auto site = readSite((dir / "devices.csv").string());
    ASSERT_TRUE(site) << site.error().message;
    EXPECT_EQ(*site, (std::vector<std::string>{"001a2b3c4d5e", "0015650a33fb"}));

    writeFile(dir / "macs.csv", "Site A,Site B\n,001122334455\n,0015650A33FB\n");
    const auto macs = readSite((dir / "macs.csv").string());
    ASSERT_TRUE(macs) << macs.error().message;
    EXPECT_EQ(*macs, (std::vector<std::string>{"001122334455", "0015650a33fb"}));

    writeFile(dir / "none.csv", "name\nalice\n");
    const auto none = readSite((dir / "none.csv").string());
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().message.find("holds no MAC address"), std::string::npos);
}

FetchRecord record(const std::string& mac, const std::string& path, int status,
                   const std::string& method = "GET", bool completed = true) {
    FetchRecord r;
    r.time = Clock::now();
    r.peer = "10.0.0.7";
    r.method = method;
    r.path = path;
    r.mac = mac;
    r.status = status;
    r.completed = completed;
    r.file = status == 200 ? path.substr(1) : "";
    return r;
}

TEST(SiteStatus, EachPhoneMovesFromWaitingToFetchedOrAskedNotFound) {
    SiteStatus site({"001a2b3c4d5e", "0015650a33fb", "001122334455"});
    EXPECT_EQ(site.counts().waiting, 3u);

    // A phone that tries another name first and then its own is fetched, with both kept.
    site.apply(record("001a2b3c4d5e", "/001a2b3c4d5e.cfg", 404));
    EXPECT_EQ(site.phones()[0].state, PhoneState::AskedNotFound);
    EXPECT_EQ(site.phones()[0].askedName, "001a2b3c4d5e.cfg");
    site.apply(record("001a2b3c4d5e", "/001A2B3C4D5E.xml", 200));
    site.apply(record("001a2b3c4d5e", "/001a2b3c4d5e.cfg", 404));
    EXPECT_EQ(site.phones()[0].state, PhoneState::Fetched);
    EXPECT_EQ(site.phones()[0].fetches, 1u);

    // HEAD, an interrupted transfer and a refusal fetch nothing.
    site.apply(record("0015650a33fb", "/0015650a33fb.xml", 200, "HEAD"));
    site.apply(record("0015650a33fb", "/0015650a33fb.xml", 200, "GET", false));
    site.apply(record("0015650a33fb", "/0015650a33fb.xml", 403));
    // Nor does the phone's-eye check fetching the file as the phone would.
    FetchRecord check = record("0015650a33fb", "/0015650a33fb.xml", 200);
    check.userAgent = kPhoneCheckAgent;
    EXPECT_FALSE(site.apply(check));
    EXPECT_EQ(site.phones()[1].state, PhoneState::Waiting);

    site.apply(record("00aabbccddee", "/00aabbccddee.xml", 404));
    site.apply(record("00aabbccddee", "/00aabbccddee.xml", 404));
    EXPECT_EQ(site.phones()[3].state, PhoneState::Unknown);
    EXPECT_EQ(summaryText(site.counts(), true),
              "1 of 3 phones fetched their file; 2 waiting; 2 requests from unknown phones; the "
              "site check's own 1 request is left out");
    site.apply(record("001122334455", "/001122334455.XML", 404));
    EXPECT_EQ(summaryText(site.counts(), true),
              "1 of 3 phones fetched their file; 1 waiting; 1 asked for a name that is not "
              "there; 2 requests from unknown phones; the site check's own 1 request is left "
              "out");
    // The check's own requests, which change no row, are said to be left out of the counts.
    check.path = "/common.cfg";
    check.mac.clear();
    site.apply(check);
    EXPECT_EQ(site.counts().checkRequests, 2u);
    EXPECT_EQ(summaryText(site.counts(), true),
              "1 of 3 phones fetched their file; 1 waiting; 1 asked for a name that is not "
              "there; 2 requests from unknown phones; the site check's own 2 requests are left "
              "out");
    SiteStatus noSite;
    noSite.apply(check);
    EXPECT_EQ(summaryText(noSite.counts(), false),
              "0 of 0 phones that asked fetched their file; the site check's own 1 request is "
              "left out");

    SiteCounts big;
    big.phones = 2000;
    big.fetched = 1950;
    big.waiting = 50;
    big.unknownRequests = 3;
    EXPECT_EQ(summaryText(big, true),
              "1,950 of 2,000 phones fetched their file; 50 waiting; 3 requests from unknown "
              "phones");

    const report::ReportTable table = statusTable(site.phones());
    ASSERT_EQ(table.rows.size(), 4u);
    EXPECT_EQ(table.rows[0][0], "001a2b3c4d5e");
    EXPECT_EQ(table.rows[0][1], "fetched");
    EXPECT_EQ(table.rows[1][1], "waiting");
    EXPECT_EQ(table.rows[2][1], "asked, not found");
    EXPECT_EQ(table.rows[2][3], "001122334455.XML");
    EXPECT_EQ(table.rows[3][1], "unknown phone");
}

FetchRecord refused(const std::string& mac, const std::string& path, const std::string& why) {
    FetchRecord r = record(mac, path, 403);
    r.proof = "none";
    r.refusal = why;
    return r;
}

TEST(SiteStatus, APhoneWhoseRequestsWereAllRefusedSaysWhyUntilItFetches) {
    SiteStatus site({"001a2b3c4d5e", "0015650a33fb"});
    // Another phone's file asked with a phone's certificate: the row of the MAC asked is
    // refused, with the reason.
    site.apply(refused("0015650a33fb", "/0015650a33fb.xml",
                       "certificate names 001a2b3c4d5e, asked for 0015650a33fb"));
    EXPECT_EQ(site.phones()[0].state, PhoneState::Waiting);
    EXPECT_EQ(site.phones()[1].state, PhoneState::Refused);
    EXPECT_EQ(site.phones()[1].refusal, "certificate names 001a2b3c4d5e, asked for 0015650a33fb");
    EXPECT_EQ(site.phones()[1].askedName, "0015650a33fb.xml");
    EXPECT_EQ(site.counts().refused, 1u);
    EXPECT_EQ(site.counts().waiting, 1u);
    EXPECT_EQ(summaryText(site.counts(), true),
              "0 of 2 phones fetched their file; 1 waiting; 1 asked and were refused; 0 requests "
              "from unknown phones");

    // The latest refusal is the one shown; a proven request for a missing name is no refusal.
    site.apply(refused("0015650a33fb", "/0015650a33fb.xml", "no certificate"));
    EXPECT_EQ(site.phones()[1].refusal, "no certificate");
    FetchRecord missing = record("0015650a33fb", "/0015650a33fb.cfg", 404);
    missing.proof = "cert:0015650a33fb";
    site.apply(missing);
    EXPECT_EQ(site.phones()[1].state, PhoneState::AskedNotFound);
    EXPECT_EQ(site.counts().refused, 0u);
    EXPECT_EQ(site.counts().askedNotFound, 1u);

    // Refused, then fetched with a password: fetched, proven so, the refusal gone; a later
    // refusal is kept for the report but the phone stays fetched.
    site.apply(refused("001a2b3c4d5e", "/001a2b3c4d5e.xml", "wrong user"));
    EXPECT_EQ(site.phones()[0].state, PhoneState::Refused);
    FetchRecord fetched = record("001a2b3c4d5e", "/001a2b3c4d5e.xml", 200);
    fetched.proof = "digest:001a2b3c4d5e";
    site.apply(fetched);
    EXPECT_EQ(site.phones()[0].state, PhoneState::Fetched);
    EXPECT_EQ(site.phones()[0].proof, "digest:001a2b3c4d5e");
    EXPECT_EQ(site.phones()[0].refusal, "");
    site.apply(refused("001a2b3c4d5e", "/001a2b3c4d5e.xml", "certificate expired"));
    EXPECT_EQ(site.phones()[0].state, PhoneState::Fetched);
    EXPECT_EQ(site.phones()[0].proof, "none");
    EXPECT_EQ(site.counts().fetched, 1u);
    EXPECT_EQ(site.counts().refused, 0u);

    // A phone outside the site stays unknown, with its reason.
    site.apply(refused("00aabbccddee", "/00aabbccddee.xml", "no certificate"));
    EXPECT_EQ(site.phones()[2].state, PhoneState::Unknown);
    EXPECT_EQ(site.phones()[2].refusal, "no certificate");

    const report::ReportTable table = statusTable(site.phones());
    ASSERT_EQ(table.header.size(), 11u);
    EXPECT_EQ(table.header[9], "proof");
    EXPECT_EQ(table.header[10], "refusal");
    EXPECT_EQ(table.rows[0][9], "none");
    EXPECT_EQ(table.rows[0][10], "certificate expired");
    EXPECT_EQ(table.rows[1][1], "asked, not found");
    EXPECT_EQ(table.rows[1][9], "cert:0015650a33fb");
}

TEST(SiteStatus, ARefusalsAdviceFollowsItsKind) {
    const std::string certificate = refusalAdvice("certificate names 001a2b3c4d5f, asked for x");
    EXPECT_NE(certificate.find("CA"), std::string::npos);
    EXPECT_EQ(refusalAdvice("no certificate"), certificate);
    EXPECT_EQ(refusalAdvice("certificate expired"), certificate);
    const std::string password = refusalAdvice("wrong user");
    EXPECT_NE(password.find("password"), std::string::npos);
    EXPECT_EQ(refusalAdvice("wrong password"), password);
    EXPECT_NE(refusalAdvice("held back"), certificate);
    EXPECT_NE(refusalAdvice("held back"), password);
}

}  // namespace
}  // namespace velquor::serve
