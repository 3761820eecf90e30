// The phone's-eye check against files served by a real nginx: one verdict per phone, over
// HTTP and over HTTPS with a test CA, the name in another case, and many fetches on few
// connections; the phones of a device sheet as Generate writes them.
#include "phonecheck/phone_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <sstream>

#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "generator/devices/device_macs.h"
#include "nginx_fixture.h"
#include "phonecheck/site_check.h"
#include "phonecheck/site_report.h"
#include "serve/log/fetch_log_writer.h"
#include "serve/server/phone_server.h"
#include "test_certificates.h"
#include "time_zone.h"

namespace velquor::phonecheck {
namespace {

namespace fs = std::filesystem;
using provisioning::CheckedDevice;
using provisioning::CheckOutcome;
using velquor::testing::NginxFixture;
using velquor::testing::NginxTls;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

const std::string kKey = "phones-key-16byt";

std::string encrypted(const std::string& plain, const std::string& key) {
    crypto::CAes aes;
    aes.Init(static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
    const auto blocks = crypto::encryptToBlocks(aes, std::as_bytes(std::span(plain)));
    return std::string(blocks.begin(), blocks.end());
}

std::string configOf(int phone, const std::string& version = "2") {
    return "<?xml version=\"1.0\"?>\n<config><account>" + std::to_string(phone) +
           "</account><password>secret-" + std::to_string(phone) + "</password><version>" +
           version + "</version></config>\n";
}

Phone phoneNumber(int n) {
    const std::string digits = "0a1b2c3d" +
                               std::string(n < 10    ? "000"
                                           : n < 100 ? "00"
                                                     : "0") +
                               std::to_string(n);
    std::string upper = digits;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Phone{n + 1, digits, digits, upper + ".xml"};
}

// A phone repeated in the sheet in other spellings is one phone, its last row, its file the
// one Generate writes for it: in the plain form the name keeps that row's letter case.
TEST(SheetPhones, ARepeatedPhoneIsItsLastRowNamedAsGenerateNamesIt) {
    TempDir dir;
    const std::string sheet = (dir / "devices.csv").string();
    writeFile(sheet,
              "MAC,Name\n001565a1b2c1,first\n0015650A33FB,hall\n00:15:65:A1:B2:C1,again\n"
              "not-a-mac,x\n001565A1B2C1,last\n");
    const mac::FileNamePattern pattern;
    auto phones = phonesOfSheet(sheet, 1, mac::Form::Plain, pattern);
    ASSERT_TRUE(phones.ok()) << phones.error().message;
    ASSERT_EQ(phones->phones.size(), 2U);
    EXPECT_EQ(phones->phones[0].row, 3);
    EXPECT_EQ(phones->phones[1].row, 6);
    EXPECT_EQ(phones->phones[1].cell, "001565A1B2C1");
    EXPECT_EQ(phones->refused.size(), 1U);

    auto table = generator::readDeviceTable(sheet);
    ASSERT_TRUE(table.ok());
    const generator::DeviceMacs generated =
        generator::checkDeviceMacs(*table, mac::Form::Plain, pattern);
    const auto names = generator::runFileNames(generated);
    ASSERT_EQ(names.size(), 2U);
    for (const Phone& phone : phones->phones) EXPECT_EQ(phone.fileName, names.at(phone.mac));

    // In lower case the name is the same whichever row is taken; the row is still the last.
    phones = phonesOfSheet(sheet, 1, mac::Form::Lower, pattern);
    ASSERT_TRUE(phones.ok());
    EXPECT_EQ(phones->phones[1].fileName, "001565a1b2c1.xml");
    EXPECT_EQ(phones->phones[1].row, 6);
}

// A server that takes the connection and never answers, one whose name is not found, and a
// closed port: each failure told apart, the library's words kept beside.
TEST(Fetching, TheCommonFailuresAreToldApart) {
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string silentUrl =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a.xml";
    // A port bound but not listening: a connection to it is refused.
    const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in free{};
    free.sin_family = AF_INET;
    free.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&free), sizeof free), 0);
    length = sizeof free;
    ::getsockname(closed, reinterpret_cast<sockaddr*>(&free), &length);
    const std::string closedUrl =
        "http://127.0.0.1:" + std::to_string(ntohs(free.sin_port)) + "/a.xml";

    FetchOptions options;
    options.connectTimeout = std::chrono::milliseconds(300);
    options.exchangeTimeout = std::chrono::milliseconds(300);
    support::NullProgress none;
    const auto results = fetchAll(
        {{silentUrl}, {"http://no-such-phone-server.invalid/a.xml"}, {closedUrl}}, options, none);
    ::close(silent);
    ::close(closed);
    EXPECT_EQ(results[0].failure, FetchFailure::TimedOut) << results[0].error;
    EXPECT_EQ(results[1].failure, FetchFailure::NameNotFound) << results[1].error;
    EXPECT_EQ(results[2].failure, FetchFailure::Refused) << results[2].error;
    for (const FetchResult& result : results) EXPECT_FALSE(result.error.empty());
}

// Generate's output for phones 1..count, encrypted with kKey, and a web root holding what
// the test puts there.
class SiteTest : public ::testing::Test {
protected:
    void generate(int count, bool encrypt = true) {
        fs::create_directories(out / "en");
        if (!encrypt) fs::remove(out / "en");
        for (int n = 1; n <= count; ++n) {
            const Phone phone = phoneNumber(n);
            phones.push_back(phone);
            writeFile(out / phone.fileName, configOf(n));
            if (encrypt) writeFile(out / "en" / phone.fileName, encrypted(configOf(n), kKey));
        }
    }

    void upload(int n, const std::string& bytes, const std::string& name = {}) {
        writeFile(root / (name.empty() ? phoneNumber(n).fileName : name), bytes);
    }

    std::string enCopy(int n) const { return encrypted(configOf(n), kKey); }

    // Every phone registered to the user with the server text, but those listed otherwise.
    std::vector<CheckedDevice> registrations(const std::string& server,
                                             const std::map<int, CheckOutcome>& others = {}) {
        std::vector<CheckedDevice> devices;
        for (std::size_t i = 0; i < phones.size(); ++i) {
            const auto other = others.find(static_cast<int>(i) + 1);
            const CheckOutcome outcome =
                other == others.end() ? CheckOutcome::Registered : other->second;
            devices.push_back(CheckedDevice{phones[i].mac, outcome,
                                            outcome == CheckOutcome::Registered ? server : "", ""});
        }
        return devices;
    }

    std::vector<PhoneCheck> check(std::vector<CheckedDevice> devices,
                                  std::optional<std::string> key = kKey,
                                  const std::string& caFile = {}) {
        SiteCheckInput input{phones, out.path().string(), std::move(key), std::move(devices), {}};
        input.fetch.inFlight = 4;
        input.fetch.caFile = caFile;
        support::NullProgress none;
        return checkPhones(input, none);
    }

    // The Done-when site: phones 1-2 uploaded as written, 3 an older version, 4 its plain
    // file, 5 not uploaded, 6 not registered.
    void uploadTheSite() {
        generate(6);
        upload(1, enCopy(1));
        upload(2, enCopy(2));
        upload(3, encrypted(configOf(3, "1"), kKey));
        upload(4, configOf(4));
        upload(6, enCopy(6));
    }

    void expectTheSite(const std::vector<PhoneCheck>& checks, const std::string& url) {
        ASSERT_EQ(checks.size(), 6U);
        EXPECT_EQ(checks[0].verdict, Verdict::Ready) << checks[0].reason.english();
        EXPECT_EQ(checks[1].reason.english(), "ready");
        EXPECT_EQ(checks[2].reason.english(),
                  "the served file differs from the one generated (older?)");
        EXPECT_EQ(checks[3].reason.english(),
                  "the served file is not encrypted although en/ exists");
        EXPECT_EQ(checks[4].reason.english(), "404 at " + url + phones[4].fileName);
        EXPECT_EQ(checks[5].reason.english(), "not registered");
        EXPECT_EQ(checks[5].action.english(), "register it");
        EXPECT_EQ(checks[4].action.english(),
                  "upload " + out.path().string() + "/en/" + phones[4].fileName + " to " + url);
        EXPECT_TRUE(checks[0].action.empty());
        EXPECT_EQ(checks[0].servedFile, "en/" + phones[0].fileName);
        EXPECT_EQ(checks[0].md5.size(), 32U);
        EXPECT_EQ(checks[0].url, url + phones[0].fileName);
    }

    TempDir out;
    TempDir root;
    std::vector<Phone> phones;
};

TEST_F(SiteTest, EveryPhoneOfASiteGetsTheFirstProblemItMeetsOverHttp) {
    uploadTheSite();
    NginxFixture nginx(root.path());
    ASSERT_NE(nginx.port(), 0);
    const auto checks = check(registrations(nginx.url(), {{6, CheckOutcome::NotRegistered}}));
    expectTheSite(checks, nginx.url());

    const report::ReportTable table = siteReport(checks);
    ASSERT_EQ(table.rows.size(), 6U);
    EXPECT_EQ(table.header[7], "verdict");
    EXPECT_EQ(table.rows[5][4], "not registered");
    EXPECT_EQ(table.rows[0][1], phones[0].cell);
}

TEST_F(SiteTest, TheSameOverHttpsWithTheRightCaAndEveryRowUnreachableWithAnother) {
    uploadTheSite();
    provisioning::testing::TestCertificates certificates;
    NginxFixture nginx(root.path(),
                       NginxTls{certificates.server().certificate, certificates.server().key});
    ASSERT_NE(nginx.port(), 0);
    const auto devices = registrations(nginx.url(), {{6, CheckOutcome::NotRegistered}});
    expectTheSite(check(devices, kKey, certificates.caFile().string()), nginx.url());

    NginxFixture otherCa(root.path(),
                         NginxTls{certificates.otherCa().certificate, certificates.otherCa().key});
    ASSERT_NE(otherCa.port(), 0);
    const auto refused = check(registrations(otherCa.url(), {{6, CheckOutcome::NotRegistered}}),
                               kKey, certificates.caFile().string());
    const std::string host = "127.0.0.1:" + std::to_string(otherCa.port());
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(refused[i].verdict, Verdict::Unreachable) << i;
        EXPECT_EQ(refused[i].reason.english(),
                  "cannot reach " + host + ": its certificate is not trusted");
        EXPECT_NE(refused[i].detail.find("certificate"), std::string::npos) << refused[i].detail;
    }
    EXPECT_EQ(refused[5].verdict, Verdict::NotRegistered);
}

TEST_F(SiteTest, KeysAccountsServerTextsAndNamesInAnotherCase) {
    generate(6);
    upload(1, enCopy(1));
    // Phone 2's file under the MAC in lower case: the case-sensitive server says 404.
    std::string lower = phones[1].fileName;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    upload(2, enCopy(2), lower);
    upload(3, encrypted(configOf(3), "another-key-1234"));
    upload(4, enCopy(4));
    NginxFixture nginx(root.path());
    ASSERT_NE(nginx.port(), 0);
    auto devices = registrations(nginx.url(), {{5, CheckOutcome::AnotherAccount}});
    devices[5].server = "prov.example/cfg";
    const auto checks = check(devices);
    EXPECT_EQ(checks[0].verdict, Verdict::Ready);
    EXPECT_EQ(checks[1].reason.english(), "404 at " + nginx.url() + phones[1].fileName + " (" +
                                              lower + " is there: the case differs)");
    // Encrypted with a key other than the phones': it is no copy of ours and opens to noise.
    EXPECT_EQ(checks[2].reason.english(), "the served file does not decrypt with the key");
    EXPECT_EQ(checks[4].reason.english(), "registered to another account");
    EXPECT_EQ(checks[5].reason.english(), "server text is not a URL");

    // Generated with a key that is not the phones': the served copy is ours, yet no phone
    // could read it.
    const auto wrongKey = check(devices, std::string("not-the-phones-k"));
    EXPECT_EQ(wrongKey[0].reason.english(), "the served file does not decrypt with the key");
    EXPECT_EQ(wrongKey[3].verdict, Verdict::DoesNotDecrypt);
    // Without a key, a copy of ours is all that can be asked.
    EXPECT_EQ(check(devices, std::nullopt)[3].verdict, Verdict::Ready);

    fs::remove(out / "en" / phones[0].fileName);
    EXPECT_EQ(check(devices)[0].reason.english(), "not generated");
    SiteCheckInput input{phones, out.path().string(), kKey, std::nullopt, {}};
    support::NullProgress none;
    const auto unknown = checkPhones(input, none);
    EXPECT_EQ(unknown[1].verdict, Verdict::NotChecked);
    EXPECT_EQ(registrationName(unknown[1]), "not asked");
}

// What a case-sensitive server holds instead: the MAC's letters in the other case while the
// rest of the name stays as written, and an older plain copy where the en/ copy belongs.
TEST_F(SiteTest, AnOtherCaseOfTheMacAloneAndAnOlderPlainCopyAreNamed) {
    generate(2);
    for (Phone& phone : phones) {
        phone.fileName = "cfg" + phone.mac + ".xml";
        writeFile(out / phone.fileName, configOf(phone.row - 1));
        writeFile(out / "en" / phone.fileName, enCopy(phone.row - 1));
    }
    std::string upperMac = phones[0].mac;
    for (char& c : upperMac) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    upload(1, enCopy(1), "cfg" + upperMac + ".xml");
    upload(2, configOf(2, "1"), phones[1].fileName);
    NginxFixture nginx(root.path());
    ASSERT_NE(nginx.port(), 0);
    const auto checks = check(registrations(nginx.url()));
    EXPECT_EQ(checks[0].reason.english(), "404 at " + nginx.url() + phones[0].fileName + " (cfg" +
                                              upperMac + ".xml is there: the case differs)");
    EXPECT_EQ(checks[1].verdict, Verdict::NotEncrypted) << checks[1].reason.english();
}

// Only http://, https:// and tftp:// server texts are fetched: every other scheme libcurl
// knows (and a text with none) is refused as no URL, with what to do about it.
TEST_F(SiteTest, OnlyHttpHttpsAndTftpServerTextsAreTakenAsUrls) {
    generate(1);
    const std::vector<std::string> refused{
        "ftp://127.0.0.1/",    "file:///etc/",      "ldap://127.0.0.1/", "dict://127.0.0.1/",
        "gopher://127.0.0.1/", "smb://127.0.0.1/",  "scp://127.0.0.1/",  "sftp://127.0.0.1/",
        "telnet://127.0.0.1/", "imap://127.0.0.1/", "pop3://127.0.0.1/", "smtp://127.0.0.1/",
        "rtmp://127.0.0.1/",   "mqtt://127.0.0.1/", "ftps://127.0.0.1/", "tftps://127.0.0.1/",
        "javascript://x/",     "127.0.0.1/prov",    "//127.0.0.1/",      "://127.0.0.1/"};
    for (const std::string& text : refused) {
        auto devices = registrations("http://127.0.0.1:9/", {});
        devices[0].server = text;
        const auto checks = check(devices);
        EXPECT_EQ(checks[0].verdict, Verdict::NotAUrl) << text;
        EXPECT_EQ(checks[0].action.english(),
                  "register it again with an http://, https:// or tftp:// URL")
            << text;
    }
    for (const char* text : {
             "http://127.0.0.1:9/",
             "HTTPS://127.0.0.1:9/",
         }) {
        auto devices = registrations(text, {});
        EXPECT_NE(check(devices)[0].verdict, Verdict::NotAUrl) << text;
    }
}

// A tftp:// server text is fetched over TFTP as a phone would: the phone server's TFTP side.
TEST_F(SiteTest, TftpServerTextsAreFetchedLikeHttpOnes) {
    uploadTheSite();
    serve::ServeOptions options;
    options.folder = root.path();
    options.address = "127.0.0.1";
    options.port = 0;
    options.plainFiles = true;
    serve::tftp::TftpOptions tftp;
    tftp.port = 0;
    options.tftp = tftp;
    auto server = serve::PhoneServer::start(std::move(options));
    ASSERT_TRUE(server) << server.error().message;
    const std::string url = "tftp://127.0.0.1:" + std::to_string((*server)->tftpPort()) + "/";
    expectTheSite(check(registrations(url, {{6, CheckOutcome::NotRegistered}})), url);
}

TEST_F(SiteTest, PlainFilesAreComparedAsTheyAreWithoutEn) {
    generate(2, false);
    upload(1, configOf(1));
    upload(2, configOf(2, "1"));
    NginxFixture nginx(root.path());
    ASSERT_NE(nginx.port(), 0);
    const auto checks = check(registrations(nginx.url().substr(0, nginx.url().size() - 1)));
    EXPECT_EQ(checks[0].verdict, Verdict::Ready) << checks[0].reason.english();
    EXPECT_EQ(checks[0].servedFile, phones[0].fileName);
    EXPECT_EQ(checks[0].url, nginx.url() + phones[0].fileName) << "a '/' is put between";
    EXPECT_EQ(checks[1].verdict, Verdict::Differs);
}

TEST_F(SiteTest, ManyFetchesShareFewConnectionsAndAFailureNamesTheHost) {
    generate(120);
    for (int n = 1; n <= 120; ++n) upload(n, enCopy(n));
    std::optional<NginxFixture> nginx(std::in_place, root.path());
    ASSERT_NE(nginx->port(), 0);
    const auto checks = check(registrations(nginx->url()));
    for (const PhoneCheck& one : checks) ASSERT_EQ(one.verdict, Verdict::Ready);
    // nginx logs a request once its answer is sent, so the last line may follow the answer.
    std::set<std::string> connections;
    std::size_t requests = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (requests < 120 && std::chrono::steady_clock::now() < deadline) {
        std::istringstream log(nginx->accessLog());
        connections.clear();
        requests = 0;
        for (std::string line; std::getline(log, line); ++requests) {
            connections.insert(line.substr(0, line.find(' ')));
        }
    }
    EXPECT_EQ(requests, 120U);
    EXPECT_LE(connections.size(), 4U) << "at most inFlight connections, each used again";

    const std::string stopped = nginx->url();
    const std::string host = "127.0.0.1:" + std::to_string(nginx->port());
    nginx.reset();
    const auto refused = check(registrations(stopped));
    EXPECT_EQ(refused[0].verdict, Verdict::Unreachable);
    EXPECT_EQ(refused[0].reason.english(), "cannot reach " + host + ": the connection was refused");
    // The library's own words stay beside ours.
    EXPECT_NE(refused[0].detail.find(host.substr(host.find(':') + 1)), std::string::npos)
        << refused[0].detail;
    EXPECT_EQ(refused[0].action.english(), "make " + host + " reachable, or register another URL");
}

// This process's peak resident memory (VmHWM) set back to what it holds now, and read: the
// growth of what work held at its most, in bytes.
std::uint64_t peakGrowthOf(const std::function<void()>& work) {
    const auto statusField = [](const std::string& name) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1));
        }
        return 0ULL;
    };
    std::ofstream("/proc/self/clear_refs") << "5\n";  // the peak is what is held now
    const std::uint64_t before = statusField("VmHWM");
    work();
    return (statusField("VmHWM") - before) * 1024;
}

// Sixty phones of large files, fetched two at a time: what the check holds at its most is the
// fetches in flight and the files of the phone being judged, not every phone's file.
TEST_F(SiteTest, TheMemoryHeldIsBoundedByTheFetchesInFlightNotByThePhones) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed blocks aside (a quarantine of 256 MB) to catch a use
    // after free, so the peak would measure its quarantine, not the check.
    GTEST_SKIP() << "peak memory is not the check's own under the address sanitizer";
#endif
    constexpr std::size_t kFileBytes = 4 * 1024 * 1024;
    constexpr int kPhones = 60;
    std::string bytes(kFileBytes, 'x');
    for (std::size_t at = 0; at < bytes.size(); at += 64) bytes[at] = static_cast<char>(at / 64);
    writeFile(root / "large.xml", bytes);
    for (int n = 1; n <= kPhones; ++n) {
        phones.push_back(phoneNumber(n));
        // Links to one file: the disk holds it once, the check reads it once a phone.
        fs::create_hard_link(root / "large.xml", out / phones.back().fileName);
        fs::create_hard_link(root / "large.xml", root / phones.back().fileName);
    }
    NginxFixture nginx(root.path());
    ASSERT_NE(nginx.port(), 0);
    const auto devices = registrations(nginx.url());
    std::vector<PhoneCheck> checks;
    const std::uint64_t growth = peakGrowthOf([&] {
        SiteCheckInput input{phones, out.path().string(), std::nullopt, devices, {}};
        input.fetch.inFlight = 2;
        support::NullProgress none;
        checks = checkPhones(input, none);
    });
    ASSERT_EQ(checks.size(), static_cast<std::size_t>(kPhones));
    for (const PhoneCheck& one : checks) ASSERT_EQ(one.verdict, Verdict::Ready);
    // Two bodies in flight (a string's room doubles as it grows), the one judged and its file.
    EXPECT_LT(growth, 8 * kFileBytes) << "all the files are " << kPhones * kFileBytes;
}

TEST_F(SiteTest, TheFetchLogSaysWhenAndFromWhereEachPhoneTookItsFileWhole) {
    generate(3);
    const auto checks = [&] {
        SiteCheckInput input{phones, out.path().string(), kKey, std::nullopt, {}};
        support::NullProgress none;
        return checkPhones(input, none);
    }();
    std::vector<PhoneCheck> fetched = checks;
    serve::FetchRecord first{};
    first.method = "GET";
    first.status = 200;
    first.completed = true;
    first.mac = phones[0].mac;
    first.peer = "192.0.2.7";
    ASSERT_TRUE(serve::parseLogTime("2026-12-09T15:40:01.123Z", first.time));
    serve::FetchRecord later = first;
    later.peer = "192.0.2.8";
    ASSERT_TRUE(serve::parseLogTime("2026-12-09T16:00:00.000Z", later.time));
    serve::FetchRecord cutShort = first;  // the phone left before the end: not its file
    cutShort.mac = phones[1].mac;
    cutShort.completed = false;
    serve::FetchRecord missing = first;
    missing.mac = phones[2].mac;
    missing.status = 404;
    // A person reads the time in the machine's zone, with its offset.
    const velquor::testing::TimeZone zone(velquor::testing::TimeZone::kCentralEurope);
    missing.path = "/cfg" + phones[2].mac + ".xml";
    // Phone 3 was ready as far as its registered server goes; it asked for a name that is not
    // there, which is what it meets.
    fetched[2].checked = Finding{Verdict::Ready, support::Phrase{"ready", {}}, {}};
    addFetches(fetched, {first, cutShort, later, missing});
    EXPECT_EQ(fetched[0].fetchedBy.english(),
              "fetched by the phone at 2026-12-09T17:00:00+01:00 from 192.0.2.8");
    EXPECT_EQ(fetched[0].verdict, Verdict::NotChecked);
    EXPECT_TRUE(fetched[1].fetchedBy.empty());
    EXPECT_EQ(fetched[2].verdict, Verdict::AskedNotFound);
    EXPECT_EQ(fetched[2].reason.english(),
              "the phone asked for cfg" + phones[2].mac + ".xml, which is not there");
    EXPECT_EQ(fetched[2].action.english(),
              "its file is " + phones[2].fileName +
                  ": have the phone ask for it, or set the file name pattern to give cfg" +
                  phones[2].mac + ".xml and generate again");
    EXPECT_EQ(fetched[2].fetchedBy.english(), "asked for cfg" + phones[2].mac +
                                                  ".xml at 2026-12-09T16:40:01+01:00 from "
                                                  "192.0.2.7: not there");
    EXPECT_EQ(siteReport(fetched).rows[0][8], fetched[0].fetchedBy.english());

    // Refused since: that is its verdict; once it fetches, the check's own is back.
    serve::FetchRecord refused = later;
    refused.mac = phones[2].mac;
    refused.status = 403;
    refused.completed = false;
    refused.refusal = "no certificate";
    ASSERT_TRUE(serve::parseLogTime("2026-12-09T16:10:00.000Z", refused.time));
    addFetches(fetched, {missing, refused});
    EXPECT_EQ(fetched[2].verdict, Verdict::AskedRefused);
    EXPECT_EQ(fetched[2].reason.english(), "the phone server refused the phone: no certificate");
    EXPECT_EQ(fetched[2].action.english(), serve::refusalAdvice("no certificate"));
    serve::FetchRecord fetchedAtLast = refused;
    fetchedAtLast.status = 200;
    fetchedAtLast.completed = true;
    fetchedAtLast.refusal.clear();
    fetchedAtLast.time += std::chrono::seconds(1);
    addFetches(fetched, {missing, refused, fetchedAtLast});
    EXPECT_EQ(fetched[2].verdict, Verdict::Ready);
    EXPECT_TRUE(fetched[2].action.empty());
}

// The whole check as the CLI and the window run it: a row for every row of the sheet, the
// refused one with its reason, counted; the fetch log read for the site's phones whatever
// they met.
TEST_F(SiteTest, EveryRowOfTheSheetIsARowAndTheFetchLogSaysWhatEachPhoneMet) {
    generate(3, false);
    const fs::path sheet = out / "devices.csv";
    // The cells as Generate's plain form names the files: the MAC in upper case.
    const auto stem = [&](int n) { return fs::path(phones[n].fileName).stem().string(); };
    writeFile(sheet,
              "MAC,Name\n" + stem(0) + ",a\n123456789,b\n" + stem(1) + ",c\n" + stem(2) + ",d\n");
    const fs::path log = out / "fetch-log.csv";
    {
        serve::FetchLogWriter writer;
        ASSERT_TRUE(writer.open(log).ok());
        serve::FetchRecord record{};
        record.time = serve::Clock::now();
        record.peer = "192.0.2.7";
        record.method = "GET";
        record.mac = phones[1].mac;
        record.path = "/cfg" + phones[1].mac + ".xml";
        record.status = 404;
        writer.append(record);
        record.mac = phones[2].mac;
        record.path = "/" + phones[2].fileName;
        record.status = 403;
        record.refusal = "no certificate";
        writer.append(record);
        ASSERT_TRUE(writer.flush().ok());
    }
    SiteRequest request;
    request.sheet = sheet.string();
    request.outputFolder = out.path().string();
    request.fetchLog = log.string();
    const auto source = readSite(request);
    ASSERT_TRUE(source.ok()) << source.error().message;
    support::NullProgress none;
    const auto site = checkSite(request, *source, none);
    ASSERT_TRUE(site.ok()) << site.error().message;
    ASSERT_EQ(site->rows.size(), 4U);
    EXPECT_EQ(site->rows[0].verdict, Verdict::NotChecked);
    EXPECT_EQ(site->rows[1].verdict, Verdict::RowRefused);
    EXPECT_EQ(site->rows[1].phone.row, 3);
    EXPECT_EQ(site->rows[1].reason.english(), "9 hex digits, not 12");
    EXPECT_EQ(site->rows[1].action.english(), "correct cell A3 of the sheet and generate again");
    EXPECT_EQ(site->rows[2].verdict, Verdict::AskedNotFound);
    EXPECT_EQ(site->rows[3].verdict, Verdict::AskedRefused);
    const SiteCounts counts = site->counts();
    EXPECT_EQ(counts.rows, 4U);
    EXPECT_EQ(counts.refusedRows, 1U);
    EXPECT_EQ(siteSummaryText(counts),
              "4 phones: 0 ready, 4 with a problem, 1 row of the sheet refused");

    const report::ReportTable table = siteReport(site->rows);
    ASSERT_EQ(table.rows.size(), 4U);
    EXPECT_EQ(table.rows[1][0], "3");
    EXPECT_EQ(table.rows[1][1], "123456789");
    EXPECT_EQ(table.rows[1][4], "");
    EXPECT_EQ(table.rows[1][7], "9 hex digits, not 12");
    EXPECT_EQ(table.rows[2][7],
              "the phone asked for cfg" + phones[1].mac + ".xml, which is not there");
}

// A phone kestod's phones' port answered, weighed against the fetch log: sent to its Server
// text and fetched there, nothing to do; sent there but never seen fetching, or seen fetching
// its file at another folder of this phone server, or told "not found" before it was
// registered: each says what to do, in the window's rows and the CLI's report alike.
TEST_F(SiteTest, WhatKestodToldAPhoneIsWeighedAgainstWhereItFetchedItsFile) {
    generate(5, false);
    for (int n = 1; n <= 5; ++n) upload(n, configOf(n));
    NginxFixture nginx(root.path());
    ASSERT_NE(nginx.port(), 0);
    std::vector<CheckedDevice> devices = registrations(nginx.url());
    for (int i = 0; i < 4; ++i) {
        devices[i].askedAt = "2026-12-09T15:00:00Z";
        devices[i].askedAnswer = i == 3 ? "not found" : "redirected";
    }
    std::vector<PhoneCheck> checks = check(devices, std::nullopt);
    for (const PhoneCheck& one : checks) ASSERT_EQ(one.verdict, Verdict::Ready);
    serve::FetchRecord whereSent{};
    whereSent.method = "GET";
    whereSent.status = 200;
    whereSent.completed = true;
    whereSent.peer = "192.0.2.7";
    ASSERT_TRUE(serve::parseLogTime("2026-12-09T15:00:02.000Z", whereSent.time));
    whereSent.mac = phones[0].mac;
    whereSent.path = "/" + phones[0].fileName;
    serve::FetchRecord elsewhere = whereSent;
    elsewhere.mac = phones[2].mac;
    elsewhere.path = "/old-site/" + phones[2].fileName;
    serve::FetchRecord neverAsked = whereSent;
    neverAsked.mac = phones[4].mac;
    neverAsked.path = "/anywhere/" + phones[4].fileName;
    const velquor::testing::TimeZone zone(velquor::testing::TimeZone::kCentralEurope);
    addFetches(checks, {whereSent, elsewhere, neverAsked});

    EXPECT_TRUE(checks[0].action.empty()) << checks[0].action.english();
    EXPECT_EQ(checks[1].action.english(),
              "the phone asked kestod and was sent to " + nginx.url() +
                  ", but no fetch of its file is known: check that the phone reaches " +
                  nginx.url() + " and gets " + phones[1].fileName + " there");
    EXPECT_EQ(checks[2].action.english(), "kestod sent the phone to " + nginx.url() +
                                              ", but it fetched its file at " + elsewhere.path +
                                              " from this phone server: put " + phones[2].fileName +
                                              " at " + nginx.url() +
                                              ", or register the phone with the Server text it "
                                              "fetches from");
    EXPECT_EQ(checks[3].action.english(),
              "kestod told the phone at 2026-12-09T16:00:00+01:00 that it has no Server text (it "
              "asked before its registration): restart the phone so that it asks again and is "
              "sent to " +
                  nginx.url());
    EXPECT_TRUE(checks[4].action.empty()) << "a phone that never asked kestod";
    for (const PhoneCheck& one : checks) EXPECT_EQ(one.verdict, Verdict::Ready);
    const report::ReportTable table = siteReport(checks);
    EXPECT_EQ(table.rows[2][9], checks[2].action.english()) << "the CLI's action column";
    EXPECT_EQ(siteSummaryText(countsOf(checks)), "5 phones: 2 ready, 3 with a problem");

    // Once the phone fetches where it was sent, nothing is left to do.
    serve::FetchRecord movedOn = elsewhere;
    movedOn.path = "/" + phones[2].fileName;
    movedOn.time += std::chrono::seconds(60);
    addFetches(checks, {whereSent, elsewhere, movedOn});
    EXPECT_TRUE(checks[2].action.empty()) << checks[2].action.english();
}

}  // namespace
}  // namespace velquor::phonecheck
