// Phones' certificates: the MACs a certificate's names hold, and the server over HTTPS asking
// curl for its certificate, with CAs and phones' certificates openssl makes for each test.
#include "serve/request/phone_certificate.h"

#include <gtest/gtest.h>

#include <mutex>

#include "serve/server/phone_server.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;

constexpr auto kLimit = std::chrono::seconds(30);
using Macs = std::vector<std::string>;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

TEST(MacsNamedIn, FindTheMacInEveryUsualSpellingAfterAnyPrefix) {
    const Macs one{"001a2b3c4d5e"};
    for (const char* text :
         {"001A2B3C4D5E", "SEP001A2B3C4D5E", "MAC 00:1a:2b:3c:4d:5e", "mac=00-1A-2B-3C-4D-5E",
          "001a.2b3c.4d5e", "CAFE001A2B3C4D5E", "phone-001a2b3c4d5e.lab.example",
          "urn:dev:mac:001a2b3c4d5e", "SEP-00-1A-2B-3C-4D-5E",
          "\x0c\x0f"
          "SEP001A2B3C4D5E",
          "(00:1A:2B:3C:4D:5E)"}) {
        EXPECT_EQ(macsNamedIn(text), one) << text;
    }
    EXPECT_EQ(macsNamedIn("001a2b3c4d5e 0015650A33FB and 00:1a:2b:3c:4d:5e"),
              (Macs{"001a2b3c4d5e", "0015650a33fb"}));
}

TEST(MacsNamedIn, FindNothingWhereTheDigitsOrTheirGroupsGoOnOrFallShort) {
    for (const char* text :
         {"", "Phones CA", "127.0.0.1", "001a2b3c4d5", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:6f",
          "100:1a:2b:3c:4d:5e", "0a:00:1a:2b:3c:4d:5e", "00:1A-2B:3C:4D:5E", "001a.2b3c.4d5e.6f7a",
          "ffffffffffff", "000000000000", "011a2b3c4d5e", "00:1a:2b:3c:4d:5g"}) {
        EXPECT_EQ(macsNamedIn(text), Macs{}) << text;
    }
}

TEST(DecideByCertificate, APhonesFileNeedsItsMacAndTheReasonNamesBoth) {
    const PhoneCertificate phone{CertificateVerdict::Valid, {"001a2b3c4d5f"}, {}};
    const CertificateDecision other = decideByCertificate(phone, "001a2b3c4d5e");
    EXPECT_FALSE(other.allowed);
    EXPECT_EQ(other.refusal, "certificate names 001a2b3c4d5f, asked for 001a2b3c4d5e");
    const CertificateDecision own = decideByCertificate(phone, "001a2b3c4d5f");
    EXPECT_TRUE(own.allowed);
    EXPECT_EQ(own.proof, "cert:001a2b3c4d5f");
    EXPECT_EQ(decideByCertificate(phone, "").proof, "cert:001a2b3c4d5f");

    const PhoneCertificate unnamed{CertificateVerdict::Valid, {}, {}};
    EXPECT_TRUE(decideByCertificate(unnamed, "").allowed);
    EXPECT_EQ(decideByCertificate(unnamed, "001a2b3c4d5e").refusal,
              "certificate names no MAC, asked for 001a2b3c4d5e");
    // A certificate that is not valid gets nothing, not even a file naming no MAC.
    const PhoneCertificate expired{CertificateVerdict::Expired, {"001a2b3c4d5e"}, {}};
    EXPECT_FALSE(decideByCertificate(expired, "").allowed);
}

class PhoneCertificateTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeSiteFolder(m_dir / "site");
        m_server = makeCertificate(m_dir.path());
        m_phones = makeCa(m_dir.path(), "phones");
        m_other = makeCa(m_dir.path(), "other");
        ASSERT_FALSE(m_server.certificate.empty());
        ASSERT_FALSE(m_phones.certificate.empty());
        ASSERT_FALSE(m_other.certificate.empty());
    }

    std::unique_ptr<PhoneServer> start(std::vector<std::filesystem::path> cas) {
        ServeOptions options;
        serveOnLoopback(options, m_dir.path());
        options.tlsCertificate = m_server.certificate;
        options.tlsKey = m_server.key;
        options.phoneCas = std::move(cas);
        auto server = PhoneServer::start(std::move(options), [this](const auto& records) {
            std::lock_guard lock(m_mutex);
            m_records.insert(m_records.end(), records.begin(), records.end());
        });
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    TestCertificate phone(const TestCa& ca, const std::string& name, const PhoneIdentity& who) {
        TestCertificate made = issueCertificate(ca, name, who);
        EXPECT_FALSE(made.certificate.empty()) << name;
        return made;
    }

    // curl as a phone with its certificate (none when empty), from its own address: each case
    // comes from a network of its own, so that no refusal is only counted in a summary.
    HttpAnswer fetch(std::uint16_t port, const std::string& path, const TestCertificate& phone,
                     const std::string& from = "127.0.0.1") {
        std::string options =
            "--cacert " + shellQuote(m_server.certificate) + " --interface " + from;
        if (!phone.certificate.empty())
            options +=
                " --cert " + shellQuote(phone.certificate) + " --key " + shellQuote(phone.key);
        return curlGet(port, path, options);
    }

    // The record of the request for path from peer, once the server has handed it on.
    FetchRecord recordOf(const std::string& path, const std::string& peer = "127.0.0.1") {
        FetchRecord found;
        const bool came = waitUntil(
            [&] {
                std::lock_guard lock(m_mutex);
                for (const FetchRecord& record : m_records) {
                    if (record.path != path || record.peer != peer) continue;
                    found = record;
                    return true;
                }
                return false;
            },
            kLimit);
        EXPECT_TRUE(came) << path << " from " << peer;
        return found;
    }

    TempDir m_dir;
    TestCertificate m_server;
    TestCa m_phones;
    TestCa m_other;
    std::mutex m_mutex;
    std::vector<FetchRecord> m_records;
};

TEST_F(PhoneCertificateTest, APhoneGetsItsOwnFileAndTheCommonOnesButNoOtherPhones) {
    auto server = start({m_phones.certificate});
    ASSERT_TRUE(server);
    const TestCertificate sep = phone(m_phones, "sep", {"/O=Maker/CN=SEP001A2B3C4D5E", "", false});
    const std::uint16_t port = server->port();

    EXPECT_EQ(fetch(port, "/001a2b3c4d5e.xml", sep).body, "<config phone=\"1\"/>\n");
    EXPECT_EQ(fetch(port, "/common.cfg", sep).body, "shared settings\n");
    const HttpAnswer other = fetch(port, "/0015650a33fb.xml", sep);
    EXPECT_EQ(other.status, 403);
    EXPECT_EQ(other.body.find("config"), std::string::npos);

    EXPECT_EQ(recordOf("/001a2b3c4d5e.xml").proof, "cert:001a2b3c4d5e");
    EXPECT_EQ(recordOf("/common.cfg").proof, "cert:001a2b3c4d5e");
    const FetchRecord refused = recordOf("/0015650a33fb.xml");
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.refusal, "certificate names 001a2b3c4d5e, asked for 0015650a33fb");
    EXPECT_EQ(refused.proof, "none");

    // The certificate checked once for a kept connection still decides each of its requests.
    const std::string codes =
        runCommand("curl -s --cacert " + shellQuote(m_server.certificate) + " --cert " +
                   shellQuote(sep.certificate) + " --key " + shellQuote(sep.key) +
                   " -o /dev/null -o /dev/null -o /dev/null -w '%{http_code}:%{num_connects} ' " +
                   "https://127.0.0.1:" + std::to_string(port) +
                   "/001A2B3C4D5E.xml https://127.0.0.1:" + std::to_string(port) +
                   "/0015650A33FB.xml https://127.0.0.1:" + std::to_string(port) + "/common.cfg");
    EXPECT_EQ(codes, "200:1 403:0 200:0 ");

    // A refused asker's file, opened by the lookup, is closed again: no descriptor is left.
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(fetch(port, "/0015650a33fb.xml", sep).status, 403);
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() <= before; }, kLimit))
        << openDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(PhoneCertificateTest, TheMacIsFoundInAnAlternativeNameInAnySpelling) {
    auto server = start({m_phones.certificate});
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    const TestCertificate dashes =
        phone(m_phones, "dashes", {"/CN=Lab phone", "DNS:00-15-65-0a-33-fb.phones.lab", false});
    EXPECT_EQ(fetch(port, "/0015650A33FB.xml", dashes).status, 200);
    EXPECT_EQ(fetch(port, "/001a2b3c4d5e.xml", dashes).status, 403);
    const TestCertificate uri =
        phone(m_phones, "uri",
              {"/CN=Lab phone", "URI:urn:dev:mac:001a2b3c4d5e,email:p@lab.example", false});
    EXPECT_EQ(fetch(port, "/001a2b3c4d5e.xml", uri, "127.0.1.1").status, 200);
    EXPECT_EQ(fetch(port, "/0015650a33fb.xml", uri, "127.0.1.1").status, 403);
    // A certificate that names no MAC gets the files that name none.
    const TestCertificate site = phone(m_phones, "site", {"/CN=Site phones", "", false});
    EXPECT_EQ(fetch(port, "/common.cfg", site, "127.0.2.1").status, 200);
    EXPECT_EQ(fetch(port, "/001a2b3c4d5e.xml", site, "127.0.2.1").status, 403);
    EXPECT_EQ(recordOf("/001a2b3c4d5e.xml", "127.0.2.1").refusal,
              "certificate names no MAC, asked for 001a2b3c4d5e");
}

TEST_F(PhoneCertificateTest, NoCertificateAnExpiredOneOrOneFromElsewhereGetsNothing) {
    auto server = start({m_phones.certificate});
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    const TestCertificate expired = phone(m_phones, "expired", {"/CN=SEP001A2B3C4D5E", "", true});
    const TestCertificate foreign = phone(m_other, "foreign", {"/CN=SEP001A2B3C4D5E", "", false});
    const struct {
        TestCertificate certificate;
        std::string from;
        std::string reason;
    } cases[] = {
        {{}, "127.0.1.1", "no certificate"},
        {expired, "127.0.2.1", "certificate expired"},
        {foreign, "127.0.3.1", "certificate not issued by a phones' CA"},
    };
    for (const auto& refused : cases) {
        for (const char* path : {"/001a2b3c4d5e.xml", "/common.cfg"}) {
            const HttpAnswer answer = fetch(port, path, refused.certificate, refused.from);
            EXPECT_EQ(answer.status, 403) << refused.reason << " " << path;
            EXPECT_EQ(answer.body, "Forbidden\n");
        }
        const FetchRecord record = recordOf("/001a2b3c4d5e.xml", refused.from);
        EXPECT_EQ(record.refusal, refused.reason);
        EXPECT_EQ(record.mac, "001a2b3c4d5e");
    }
}

TEST_F(PhoneCertificateTest, EachCaGivenIssuesPhonesTheServerTrusts) {
    auto server = start({m_phones.certificate, m_other.certificate});
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    const TestCertificate first = phone(m_phones, "first", {"/CN=SEP001A2B3C4D5E", "", false});
    const TestCertificate second = phone(m_other, "second", {"/CN=0015650A33FB", "", false});
    EXPECT_EQ(fetch(port, "/001a2b3c4d5e.xml", first).body, "<config phone=\"1\"/>\n");
    EXPECT_EQ(fetch(port, "/0015650a33fb.xml", second).body, "<config phone=\"2\"/>\n");
    EXPECT_EQ(fetch(port, "/0015650a33fb.xml", first).status, 403);
}

TEST_F(PhoneCertificateTest, CaFilesAreCheckedAtStartAndNeedHttps) {
    const TestCertificate leaf = phone(m_phones, "leaf", {"/CN=SEP001A2B3C4D5E", "", false});
    writeFile(m_dir / "empty.pem", "no certificate here\n");
    const struct {
        std::filesystem::path file;
        std::string says;
    } cases[] = {
        {m_dir / "missing.pem", "missing.pem"},
        {m_dir / "empty.pem", "empty.pem holds no PEM certificate"},
        {leaf.certificate, "leaf.pem holds a certificate that is not a CA's"},
    };
    for (const auto& bad : cases) {
        ServeOptions options;
        serveOnLoopback(options, m_dir.path());
        options.tlsCertificate = m_server.certificate;
        options.tlsKey = m_server.key;
        options.phoneCas = {m_phones.certificate, bad.file};
        auto server = PhoneServer::start(std::move(options));
        ASSERT_FALSE(server) << bad.says;
        EXPECT_NE(server.error().message.find(bad.says), std::string::npos)
            << server.error().message;
    }
    int status = 0;
    const std::string said = runCommand(
        std::string(VELQUOR_CLI_BINARY) + " serve " + shellQuote((m_dir / "site").string()) +
            " --port 0 --phone-ca " + shellQuote(m_phones.certificate) + " 2>&1",
        &status);
    EXPECT_EQ(status, 2) << said;
    EXPECT_NE(said.find("--phone-ca needs HTTPS: give --tls-cert and --tls-key"), std::string::npos)
        << said;
}

}  // namespace
}  // namespace velquor::serve
