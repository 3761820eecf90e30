// kestod's phones' port against curl as the phones, with a phones' CA and the phones'
// certificates openssl makes: the redirect, the 404 that tells a stranger nothing, the 403 for
// another MAC's certificate or none, what the store remembers (through a restart, and on
// PostgreSQL by a second instance), and a valid phone answered beside a flood of bad
// certificates from its own address.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "net/descriptor_limit.h"
#include "openssl_certificates.h"
#include "temp_dir.h"
#include "tls_test_client.h"
#include "wait_until.h"
#include "wire/device_listing.h"

namespace velquor::testing {
namespace {

constexpr const char* kPhoneMac = "001a2b3c4d5e";
constexpr const char* kServerText = "http://127.0.0.1:8080/prov/";
// The handshakes the phones' port has under way at most.
constexpr int kMostHandshaking = 512;

struct PhoneReply {
    int status = 0;
    std::string location;
    std::string body;
};

// curl as a phone: its certificate (none when empty), the server's CA trusted.
PhoneReply askAsPhone(const KestodFixture& server, const std::string& path,
                      const TestCertificate& phone = {}) {
    TempDir scratch;
    const std::string certificate =
        phone.certificate.empty()
            ? ""
            : " --cert " + shellQuote(phone.certificate) + " --key " + shellQuote(phone.key);
    const std::string output =
        runCommand("curl -s --max-time 60 --path-as-is --cacert " +
                   shellQuote(server.caCertPath().string()) + certificate + " -o " +
                   shellQuote((scratch / "body").string()) + " -w '%{http_code} %{redirect_url}' " +
                   shellQuote("https://127.0.0.1:" + std::to_string(server.phonePort()) + path));
    PhoneReply reply;
    reply.status = std::atoi(output.c_str());
    const auto space = output.find(' ');
    if (space != std::string::npos) reply.location = output.substr(space + 1);
    if (std::filesystem::exists(scratch / "body")) reply.body = readFile(scratch / "body");
    return reply;
}

// 'kestod phones --dir DIR ARGUMENTS' (it needs the folder only, whatever the store).
std::string phonesCommand(const KestodFixture& server, const std::string& arguments, int* status) {
    return runCommand(shellQuote(KestodFixture::binary().string()) + " phones --dir " +
                          shellQuote(server.directory().string()) + " " + arguments + " 2>&1",
                      status);
}

class KestodPhonesTest : public ::testing::Test {
protected:
    TempDir certificates;
    TestCa phonesCa = makeCa(certificates.path(), "phones");
    TestCa otherCa = makeCa(certificates.path(), "other");
    TestCertificate phone = issueCertificate(phonesCa, "phone", {"/CN=SEP001A2B3C4D5E", "", false});
    TestCertificate unregistered = issueCertificate(
        phonesCa, "unregistered", {"/CN=Phone", "URI:urn:dev:mac:00-15-65-0a-33-fb", false});
    TestCertificate forged =
        issueCertificate(otherCa, "forged", {"/CN=SEP001A2B3C4D5E", "", false});

    void SetUp() override {
        ASSERT_FALSE(phone.certificate.empty() || unregistered.certificate.empty() ||
                     forged.certificate.empty())
            << "openssl could not make the certificates";
    }
    KestodOptions options() const { return KestodOptions{.phoneCas = {phonesCa.certificate}}; }
};

// Registers kPhoneMac to a new user "bob" with kServerText.
void registerPhone(const KestodFixture& server) {
    KestoPeer chief(server);
    ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(chief.account("ADD", "bob", "pw-bob"), "YES");
    KestoPeer bob(server, "127.0.0.2");
    ASSERT_EQ(bob.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(bob.device("ADD", kPhoneMac, kServerText, "bob"), "YES");
}

TEST_F(KestodPhonesTest, APhoneIsSentToItsServerTextAndEveryOtherAskerLearnsNothing) {
    KestodFixture server(options());
    ASSERT_NE(server.phonePort(), 0);
    registerPhone(server);

    const PhoneReply redirected = askAsPhone(server, "/phone/00-1a-2b-3c-4d-5e", phone);
    EXPECT_EQ(redirected.status, 302);
    EXPECT_EQ(redirected.location, kServerText);
    EXPECT_EQ(redirected.body, std::string(kServerText) + "\n") << "for phones that read it";
    EXPECT_EQ(askAsPhone(server, "/phone/001A.2B3C.4D5E", phone).status, 302) << "any spelling";

    const PhoneReply unknown = askAsPhone(server, "/phone/0015650A33FB", unregistered);
    EXPECT_EQ(unknown.status, 404);
    KestoPeer bob(server, "127.0.0.2");
    ASSERT_EQ(bob.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(bob.device("ADD", "0015650a33fb", "", "bob"), "YES");
    const PhoneReply empty = askAsPhone(server, "/phone/0015650A33FB", unregistered);
    EXPECT_EQ(empty.status, 404) << "registered without a Server text";
    EXPECT_EQ(empty.body, unknown.body) << "the same body whatever the reason";

    EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", unregistered).status, 403)
        << "another MAC's certificate";
    EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e").status, 403) << "no certificate";
    EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", forged).status, 403)
        << "a certificate from another CA";
    EXPECT_EQ(askAsPhone(server, "/", phone).status, 404) << "nothing else is served";
    EXPECT_EQ(askAsPhone(server, "/phone/not-a-mac", phone).status, 404);

    const std::string log = server.log();
    EXPECT_NE(log.find("to http://127.0.0.1:8080/prov/"), std::string::npos) << log;
    EXPECT_NE(log.find("certificate names another MAC"), std::string::npos) << log;
    EXPECT_NE(log.find("no certificate"), std::string::npos) << log;
}

TEST_F(KestodPhonesTest, WhatEachPhoneWasToldIsRememberedThroughARestart) {
    KestodFixture server(options());
    registerPhone(server);
    ASSERT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", unregistered).status, 403);
    EXPECT_NE(server.runTool({"devices"}).find("\tnever\n"), std::string::npos)
        << "a refused asker is not the phone";
    ASSERT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", phone).status, 302);
    server.restart();
    const std::string devices = server.runTool({"devices"});
    EXPECT_NE(devices.find("Z from 127.0.0.1: redirected\n"), std::string::npos) << devices;
    EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", phone).status, 302)
        << "served again after the restart";
}

// An older client's LIST gets the 192-byte rows it reads; the current client's, what the phone
// was told; and velquor-cli's device list shows it.
TEST_F(KestodPhonesTest, TheListingCarriesWhatThePhoneWasToldToClientsThatAsk) {
    KestodFixture server(options());
    registerPhone(server);
    ASSERT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", phone).status, 302);
    KestoPeer bob(server, "127.0.0.2");
    ASSERT_EQ(bob.login("bob", "pw-bob"), "YES");
    for (const bool withAsked : {false, true}) {
        const auto request = wire::buildListingRequest({"bob", "", 0, "", withAsked});
        ASSERT_TRUE(request.ok());
        const std::string reply = bob.send(server.devicePort(), wire::recordBytes(*request));
        const std::size_t rowSize = wire::listingRowSize(withAsked);
        ASSERT_EQ(reply.size(), wire::kListingHeaderSize + rowSize) << reply;
        const auto shape = wire::decodeListingHeader(reply.substr(0, wire::kListingHeaderSize));
        ASSERT_TRUE(shape.ok()) << shape.error().message;
        EXPECT_EQ(shape->withAsked, withAsked);
        const auto row =
            wire::decodeListingRow(reply.substr(wire::kListingHeaderSize), shape->withAsked);
        ASSERT_TRUE(row.ok()) << row.error().message;
        EXPECT_EQ(row->server, kServerText);
        EXPECT_EQ(row->askedFrom, withAsked ? "127.0.0.1" : "");
        EXPECT_EQ(row->askedAnswer, withAsked ? "redirected" : "");
    }
}

TEST_F(KestodPhonesTest, TheCasCanBeReplacedAndAreRefusedWhenTheyAreNoCas) {
    KestodFixture server(options());
    int status = -1;
    const std::string listed = phonesCommand(server, "", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(listed.find("CN=phones"), std::string::npos) << listed;
    phonesCommand(server, "--ca " + shellQuote(phone.certificate), &status);
    EXPECT_EQ(status, 1) << "a phone's certificate is no CA";
    const std::string both = phonesCommand(
        server, "--ca " + shellQuote(phonesCa.certificate) + " " + shellQuote(otherCa.certificate),
        &status);
    EXPECT_EQ(status, 0) << both;
    EXPECT_NE(both.find("CN=other"), std::string::npos) << both;
    server.restart();
    EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", forged).status, 404)
        << "the other maker's phones are proven now";
}

// A site's phones share one address: however many bad certificates come from it, a phone
// with a valid one is answered.
TEST_F(KestodPhonesTest, AValidPhoneIsAnsweredBesideAFloodOfBadCertificatesFromItsAddress) {
    KestodFixture server(options());
    registerPhone(server);
    std::atomic<bool> flooding{true};
    std::atomic<int> refused{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < 4; ++t) {
        flood.emplace_back([&] {
            for (int i = 0; i < 50 && flooding; ++i) {
                if (askAsPhone(server, "/phone/001a2b3c4d5e", forged).status == 403) ++refused;
            }
        });
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", phone).status, 302);
    }
    flooding = false;
    for (auto& thread : flood) thread.join();
    EXPECT_GT(refused.load(), 0);
    const std::string log = server.log();
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find("certificate refused", at)) != log.npos; ++at) ++lines;
    EXPECT_LE(lines, 3u) << "a flood's refusals are counted, not logged one by one:\n" << log;
}

// A phone slow to answer the server's hello is not closed for newcomers while it has been
// silent for less than a sixth of the handshake's time: past the port's handshakes under way, a
// newcomer waits for room, and gets it once the phone is done.
TEST_F(KestodPhonesTest, ASlowPhoneKeepsItsHandshakeWhileNewcomersWaitForRoom) {
    KestodFixture server(
        KestodOptions{.serveArguments = {"--handshake-ms", "30000", "--deadline-ms", "60000"},
                      .phoneCas = {phonesCa.certificate}});
    registerPhone(server);
    const std::string ca = server.caCertPath().string();
    SteppedTls slowPhone("127.0.0.1", server.phonePort(), ca, phone.certificate, phone.key);
    ASSERT_TRUE(slowPhone.answered());
    // The port's other 511 handshakes under way, each one's hello answered, from addresses
    // that stay under the cap per address.
    std::vector<int> stalled;
    for (int i = 0; i + 1 < kMostHandshaking; ++i) {
        const std::string source = "127.0.9." + std::to_string(10 + i / 60);
        const int fd =
            sendHelloAndStall("127.0.0.1", server.phonePort(), {.sourceAddress = source});
        ASSERT_GE(fd, 0);
        stalled.push_back(fd);
    }
    // Nothing answers the newcomer while the port is full of young handshakes.
    const int newcomer = sendHelloAndStall(
        "127.0.0.1", server.phonePort(),
        {.sourceAddress = "127.0.9.99", .timeout = std::chrono::milliseconds(1000)});
    ASSERT_GE(newcomer, 0);
    pollfd waiting{.fd = newcomer, .events = POLLIN, .revents = 0};
    EXPECT_EQ(::poll(&waiting, 1, 0), 0) << "the newcomer waits for room";

    const ExchangeOutcome asked =
        slowPhone.finish("GET /phone/001a2b3c4d5e HTTP/1.1\r\nHost: kestod\r\n\r\n");
    EXPECT_TRUE(asked.handshakeDone) << asked.error;
    EXPECT_EQ(asked.reply.rfind("HTTP/1.1 302", 0), 0u) << asked.reply;
    EXPECT_EQ(::poll(&waiting, 1, 20'000), 1) << "the newcomer is answered once there is room";
    ::close(newcomer);
    for (const int fd : stalled) ::close(fd);
    EXPECT_EQ(server.log().find("make room"), std::string::npos) << server.log();
}

// Whether every one of fds has bytes to read (or was closed) within the time-out.
bool allAnswered(const std::vector<int>& fds, std::chrono::seconds timeout) {
    std::vector<pollfd> waiting;
    for (const int fd : fds) waiting.push_back(pollfd{.fd = fd, .events = POLLIN, .revents = 0});
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!waiting.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(waiting.data(), waiting.size(), left.count()) <= 0)
            return false;
        std::erase_if(waiting, [](const pollfd& one) { return one.revents != 0; });
    }
    return true;
}

// Hellos waiting for room four times over the port's handshakes under way are a flood: the
// longest silent handshakes are closed for the newcomers at once, however young, so that the
// newcomers are answered rather than kept for the silence each; once the flood has gone, a
// phone is served.
TEST_F(KestodPhonesTest, BehindAFloodOfHellosTheLongestSilentHandshakesGoAtOnce) {
    KestodFixture server(
        KestodOptions{.serveArguments = {"--handshake-ms", "600000", "--deadline-ms", "600000"},
                      .phoneCas = {phonesCa.certificate}});
    registerPhone(server);
    constexpr int kFloodWaiting = 4 * kMostHandshaking;
    ASSERT_GE(net::raiseDescriptorLimit(), 2u * (kMostHandshaking + kFloodWaiting));
    std::vector<int> flood;
    auto stallFrom = [&](int i) {
        return sendHelloAndStall("127.0.0.1", server.phonePort(),
                                 {.sourceAddress = "127.0.10." + std::to_string(10 + i / 60)});
    };
    for (int i = 0; i < kMostHandshaking; ++i) flood.push_back(stallFrom(i));
    // Then the newcomers, without waiting for their answers.
    const std::string hello = clientHello();
    std::vector<int> newcomers;
    for (int i = kMostHandshaking; i < kMostHandshaking + kFloodWaiting + 8; ++i) {
        const int fd = connectTcp("127.0.0.1", server.phonePort(),
                                  {.sourceAddress = "127.0.10." + std::to_string(10 + i / 60)});
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(hello.size()));
        newcomers.push_back(fd);
    }
    EXPECT_TRUE(allAnswered(newcomers, std::chrono::seconds(60)))
        << "every newcomer is answered, none kept for the handshakes' silence";
    EXPECT_NE(server.log().find("stalled in its handshake, to make room for another"),
              std::string::npos)
        << server.log();
    for (const int fd : flood) ::close(fd);
    for (const int fd : newcomers) ::close(fd);
    EXPECT_EQ(askAsPhone(server, "/phone/001a2b3c4d5e", phone).status, 302);
}

TEST_F(KestodPhonesTest, TwoInstancesOnOneDatabaseSeeEachOthersAnswers) {
    if (KestodFixture::defaultStore() != StoreKind::Postgres) {
        GTEST_SKIP() << "runs in the PostgreSQL pass (the postgres. tests of ctest)";
    }
    KestodFixture first(options());
    KestodFixture second({.sameStateAs = &first});
    registerPhone(first);
    ASSERT_NE(second.phonePort(), 0);
    EXPECT_EQ(askAsPhone(second, "/phone/001a2b3c4d5e", phone).status, 302)
        << "the registration made through the first";
    // The second writes its asks behind its answers: the first sees it once it is written.
    std::string devices;
    EXPECT_TRUE(waitUntil(
        [&] {
            devices = first.runTool({"devices"});
            return devices.find("Z from 127.0.0.1: redirected\n") != std::string::npos;
        },
        std::chrono::seconds(10)))
        << devices;
}

}  // namespace
}  // namespace velquor::testing
