// ProvisioningChannel against real TLS servers on loopback: the reply table on every port,
// certificate checks that stop the record from leaving, time-outs and the diagnostic lines.
#include "provisioning/provisioning_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "listen_queue.h"
#include "scripted_tls_server.h"
#include "test_certificates.h"
#include "wait_until.h"

namespace velquor::provisioning {
namespace {

using namespace velquor::wire;

using namespace std::chrono_literals;
using testing::ClosedPort;
using testing::ScriptedTlsServer;
using testing::ServerAction;
using testing::ServerScript;
using testing::SilentTcpListener;
using testing::TestCertificates;

enum class Kind { Login, Account, Device };

const char* nameOf(Kind kind) {
    switch (kind) {
        case Kind::Login:
            return "login";
        case Kind::Account:
            return "account";
        case Kind::Device:
            return "device";
    }
    return "?";
}

std::size_t recordLength(Kind kind) {
    switch (kind) {
        case Kind::Login:
            return kLoginRequestSize;
        case Kind::Account:
            return kAccountRequestSize;
        case Kind::Device:
            return kDeviceRequestSize;
    }
    return 0;
}

// A distinctive record of each kind, so the server's copy can be compared byte for byte.
std::string sampleRecord(Kind kind) {
    switch (kind) {
        case Kind::Login:
            return std::string(recordBytes(*buildLoginRequest({std::string(64, 'u'), "pw"})));
        case Kind::Account:
            return std::string(recordBytes(*buildAccountRequest({"ADD", "frank", "pw2"})));
        case Kind::Device:
            return std::string(
                recordBytes(*buildDeviceRequest({"ADD", "00:0b:82:01:02:03", "sip.example", "u"})));
    }
    return {};
}

int sendRecord(ProvisioningChannel& channel, Kind kind, const std::string& record) {
    switch (kind) {
        case Kind::Login:
            return channel.SendLoginRequest(record.data(), record.size());
        case Kind::Account:
            return channel.SendAccountRequest(record.data(), record.size());
        case Kind::Device:
            return channel.SendDeviceRequest(record.data(), record.size());
    }
    return 99;
}

struct Outcome {
    int result;
    std::string printed;
    std::chrono::milliseconds took;
};

Outcome exchange(ProvisioningChannel& channel, Kind kind, const std::string& record) {
    const auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    const int result = sendRecord(channel, kind, record);
    std::string printed = ::testing::internal::GetCapturedStdout();
    return {result, std::move(printed),
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)};
}

// Polls a condition the server thread will make true soon, for at most two seconds.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 200; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

class ChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_certificates = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { s_certificates.reset(); }

    static const TestCertificates& certificates() { return *s_certificates; }

    static std::unique_ptr<ScriptedTlsServer> serverFor(
        Kind kind, ServerScript script = {}, const testing::CertificateAndKey* identity = nullptr) {
        const auto& id = identity != nullptr ? *identity : certificates().server();
        return std::make_unique<ScriptedTlsServer>(id.certificate, id.key, recordLength(kind),
                                                   std::move(script));
    }

    // A channel whose port for `kind` is `port`; the other two lead nowhere.
    ProvisioningChannel channelTo(Kind kind, std::uint16_t port,
                                  ChannelTimeouts timeouts = {3s, 5s}) {
        KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.caFile = certificates().caFile().string();
        endpoint.loginPort = endpoint.accountPort = endpoint.devicePort = m_closed.port();
        (kind == Kind::Login     ? endpoint.loginPort
         : kind == Kind::Account ? endpoint.accountPort
                                 : endpoint.devicePort) = port;
        return ProvisioningChannel(endpoint, timeouts);
    }

    ClosedPort m_closed;

private:
    static inline std::unique_ptr<TestCertificates> s_certificates;
};

constexpr Kind kAllKinds[] = {Kind::Login, Kind::Account, Kind::Device};

// What the channel makes of a reply that gave this result.
ServerRefusal refusalOf(const std::string& reply, int result) {
    if (result >= 0) return ServerRefusal::None;
    if (reply == "NOLOGIN") return ServerRefusal::NotLoggedIn;
    if (reply == "RETRY") return ServerRefusal::TryAgain;
    if (reply == "INVALID") return ServerRefusal::NotAcceptable;
    return ServerRefusal::Refused;
}

TEST_F(ChannelTest, ReplyTableOnEveryPort) {
    struct Row {
        std::string reply;
        int device;
        int others;
    };
    const Row rows[] = {
        {"YES", 0, 0},
        {"EXIST", 1, -1},
        {"yes", -1, -1},
        {"YES\n", -1, -1},
        {"YES ", -1, -1},
        {"NO", -1, -1},
        {"EXISTS", -1, -1},
        {std::string("YES\0junk", 8), 0, 0},  // the word ends at the first zero
        {"YESYESYESYES", -1, -1},             // eight non-zero bytes, then more
        {"NOLOGIN", -1, -1},
        {"RETRY", -1, -1},
        {"INVALID", -1, -1},
        {"RETRYNOW", -1, -1},  // a word only as far as it ends
    };
    for (Kind kind : kAllKinds) {
        auto server = serverFor(kind);
        auto channel = channelTo(kind, server->port());
        const std::string record = sampleRecord(kind);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(nameOf(kind)) + " reply \"" + row.reply + "\"");
            server->setScript({ServerAction::Reply, row.reply});
            const Outcome outcome = exchange(channel, kind, record);
            EXPECT_EQ(outcome.result, kind == Kind::Device ? row.device : row.others);
            EXPECT_EQ(outcome.printed, "");
            EXPECT_LE(channel.lastReply().size(), kReplyBufferSize);
            EXPECT_EQ(channel.lastError().empty(), outcome.result == 0) << channel.lastError();
            EXPECT_EQ(channel.lastFailureStage(), FailureStage::None) << "the server replied";
            EXPECT_EQ(channel.lastRefusal(), refusalOf(row.reply, outcome.result));
        }
        const auto received = server->received();
        ASSERT_EQ(received.size(), std::size(rows));
        for (const auto& copy : received) EXPECT_EQ(copy, record);  // whole record, once
        for (const auto& name : server->serverNamesOffered()) EXPECT_EQ(name, "");  // IP: no SNI
    }
}

TEST_F(ChannelTest, ServerClosingWithoutAnswerGivesMinusOne) {
    for (ServerAction action : {ServerAction::HangUp, ServerAction::DropConnection}) {
        SCOPED_TRACE(action == ServerAction::HangUp ? "close_notify" : "dropped");
        for (Kind kind : kAllKinds) {
            SCOPED_TRACE(nameOf(kind));
            auto server = serverFor(kind, {action, ""});
            auto channel = channelTo(kind, server->port());
            const Outcome outcome = exchange(channel, kind, sampleRecord(kind));
            EXPECT_EQ(outcome.result, -1);
            EXPECT_EQ(outcome.printed, "read_n == 0\n");
            EXPECT_NE(channel.lastError().find("without replying"), std::string::npos)
                << channel.lastError();
            EXPECT_EQ(channel.lastFailureStage(), FailureStage::Exchanging)
                << "the record was delivered: sending it again could apply it twice";
        }
    }
}

TEST_F(ChannelTest, UntrustedOrMismatchedCertificateEndsTheHandshakeBeforeTheRecord) {
    struct Row {
        const testing::CertificateAndKey* identity;
        std::string reason;  // the reason names what was asked for and what the certificate says
    };
    const Row rows[] = {
        {&certificates().otherCa(), "is not signed by a CA in "},
        {&certificates().otherAddress(), "is for 10.9.9.9, not 127.0.0.1"},
        {&certificates().nameOnlyInCommonName(), "is for 10.9.9.9, not 127.0.0.1"},
        {&certificates().commonNameOnly(),
         "names 127.0.0.1 only in its common name (CN), which is not checked: it needs a "
         "subjectAltName for 127.0.0.1"},
    };
    for (const auto& [identity, reason] : rows) {
        SCOPED_TRACE(identity->certificate.filename().string());
        for (Kind kind : kAllKinds) {
            auto server = serverFor(kind, {}, identity);
            auto channel = channelTo(kind, server->port());
            const Outcome outcome = exchange(channel, kind, sampleRecord(kind));
            EXPECT_EQ(outcome.result, -1);
            EXPECT_EQ(outcome.printed, "Handle the failed verification \n");
            EXPECT_NE(channel.lastError().find(reason), std::string::npos) << channel.lastError();
            EXPECT_EQ(channel.lastFailureStage(), FailureStage::Verifying);
            ASSERT_TRUE(eventually([&] { return !server->serverNamesOffered().empty(); }));
            EXPECT_EQ(server->handshakesCompleted(), 0);
            EXPECT_TRUE(server->received().empty());
        }
    }
}

TEST_F(ChannelTest, ServerNamedByHostNameGetsSniAndMustMatchTheCertificate) {
    // The certificate names 127.0.0.1 only; "localhost" reaches it but is not what it names.
    auto server = serverFor(Kind::Device);
    KestoEndpoint endpoint;
    endpoint.address = "localhost";
    endpoint.devicePort = server->port();
    endpoint.caFile = certificates().caFile().string();
    ProvisioningChannel channel(endpoint, {3s, 5s});
    const Outcome outcome = exchange(channel, Kind::Device, sampleRecord(Kind::Device));
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "Handle the failed verification \n");
    EXPECT_NE(
        channel.lastError().find("the certificate of localhost:" + std::to_string(server->port()) +
                                 " is for 127.0.0.1, not localhost"),
        std::string::npos)
        << channel.lastError();
    ASSERT_TRUE(eventually([&] { return !server->serverNamesOffered().empty(); }));
    EXPECT_EQ(server->serverNamesOffered().back(), "localhost");
    EXPECT_TRUE(server->received().empty());
}

TEST_F(ChannelTest, IPv6AddressesAndNamesWithSeveralAddresses) {
    const std::string record = sampleRecord(Kind::Device);
    ScriptedTlsServer overIpv6(certificates().ipv6Loopback().certificate,
                               certificates().ipv6Loopback().key, kDeviceRequestSize, {}, 0, true);
    for (const char* address : {"::1", "[::1]"}) {
        SCOPED_TRACE(address);
        KestoEndpoint endpoint;
        endpoint.address = address;
        endpoint.devicePort = overIpv6.port();
        endpoint.caFile = certificates().caFile().string();
        ProvisioningChannel channel(endpoint, {3s, 5s});
        const Outcome outcome = exchange(channel, Kind::Device, record);
        EXPECT_EQ(outcome.result, 0) << channel.lastError();
    }
    // The IPv4 certificate on ::1: the reason names the address asked for, without brackets.
    ScriptedTlsServer wrongCertificate(certificates().server().certificate,
                                       certificates().server().key, kDeviceRequestSize, {}, 0,
                                       true);
    KestoEndpoint endpoint;
    endpoint.address = "::1";
    endpoint.devicePort = wrongCertificate.port();
    endpoint.caFile = certificates().caFile().string();
    ProvisioningChannel mismatched(endpoint, {3s, 5s});
    EXPECT_EQ(exchange(mismatched, Kind::Device, record).result, -1);
    EXPECT_EQ(mismatched.lastError(),
              "the certificate of [::1]:" + std::to_string(wrongCertificate.port()) +
                  " is for 127.0.0.1, not ::1");

    // A name is resolved, and checked against the certificate's DNS names. Where "localhost"
    // also has ::1 (not on every machine), that address is refused here and passed over.
    ScriptedTlsServer byName(certificates().localhost().certificate, certificates().localhost().key,
                             kDeviceRequestSize);
    KestoEndpoint named;
    named.address = "localhost";
    named.devicePort = byName.port();
    named.caFile = certificates().caFile().string();
    ProvisioningChannel channel(named, {3s, 5s});
    const Outcome outcome = exchange(channel, Kind::Device, record);
    EXPECT_EQ(outcome.result, 0) << channel.lastError();
    EXPECT_EQ(byName.serverNamesOffered().back(), "localhost");
    EXPECT_EQ(byName.received().back(), record);
}

TEST_F(ChannelTest, MissingCaFileEndsTheExchangeBeforeConnecting) {
    for (Kind kind : kAllKinds) {
        SCOPED_TRACE(nameOf(kind));
        auto server = serverFor(kind);
        KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.loginPort = endpoint.accountPort = endpoint.devicePort = server->port();
        endpoint.caFile = (certificates().caFile().parent_path() / "absent.pem").string();
        ProvisioningChannel channel(endpoint, {3s, 5s});
        const Outcome outcome = exchange(channel, kind, sampleRecord(kind));
        EXPECT_EQ(outcome.result, -1);
        EXPECT_EQ(outcome.printed, "Handle failed load here \n");
        EXPECT_NE(channel.lastError().find("absent.pem"), std::string::npos);
        EXPECT_EQ(channel.lastFailureStage(), FailureStage::Preparing);
        EXPECT_TRUE(velquor::testing::listenQueueEmptied(server->port()));
        EXPECT_EQ(server->connectionsAccepted(), 0);
    }
}

TEST_F(ChannelTest, SilentServerTimesOutWithOneLine) {
    auto server = serverFor(Kind::Device, {ServerAction::NeverAnswer, ""});
    auto channel = channelTo(Kind::Device, server->port(), {2s, 400ms});
    const Outcome outcome = exchange(channel, Kind::Device, sampleRecord(Kind::Device));
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "retry error\n");
    EXPECT_GE(outcome.took, 350ms);
    EXPECT_LT(outcome.took, 5s);
    EXPECT_NE(channel.lastError().find("no reply"), std::string::npos) << channel.lastError();
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Exchanging);
    EXPECT_TRUE(channel.lastFailureTimedOut());
}

TEST_F(ChannelTest, UnansweredConnectGivesUpAfterTheConnectTimeout) {
    testing::FullBacklogListener listener;
    auto channel = channelTo(Kind::Device, listener.port(), {300ms, 20s});
    const Outcome outcome = exchange(channel, Kind::Device, sampleRecord(Kind::Device));
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "BIO_do_connect(bio)NULL<=0\n");
    EXPECT_GE(outcome.took, 250ms);
    EXPECT_LT(outcome.took, 5s);
    EXPECT_NE(channel.lastError().find("no connection"), std::string::npos) << channel.lastError();
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Connecting);
}

TEST_F(ChannelTest, ServerStuckBeforeHandshakeTimesOut) {
    // The handshake belongs to the connect time-out, however long the reply may take.
    SilentTcpListener listener;
    auto channel = channelTo(Kind::Login, listener.port(), {2s, 60s});
    const Outcome outcome = exchange(channel, Kind::Login, sampleRecord(Kind::Login));
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "BIO_do_connect(bio)NULL<=0\n");
    EXPECT_LT(outcome.took, 5s);
    EXPECT_NE(channel.lastError().find("no TLS handshake with 127.0.0.1:" +
                                       std::to_string(listener.port()) + " within 2 s"),
              std::string::npos)
        << channel.lastError();
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Connecting)
        << "a handshake that never finished sent nothing: safe to try again";
    EXPECT_TRUE(channel.lastFailureTimedOut()) << "silence is not a refusal to retry at once";
}

TEST_F(ChannelTest, RefusedConnectionGivesConnectDiagnostic) {
    auto channel = channelTo(Kind::Account, m_closed.port());
    const Outcome outcome = exchange(channel, Kind::Account, sampleRecord(Kind::Account));
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "BIO_do_connect(bio)NULL<=0\n");
    EXPECT_NE(channel.lastError().find("cannot connect to 127.0.0.1:" +
                                       std::to_string(m_closed.port()) + ": Connection refused"),
              std::string::npos)
        << channel.lastError();
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Connecting);
    EXPECT_FALSE(channel.lastFailureTimedOut());
}

TEST_F(ChannelTest, StopEndsAWaitingExchangeAtOnceAtTheStageItReached) {
    auto silent = serverFor(Kind::Device, {ServerAction::NeverAnswer, ""});
    SilentTcpListener stuck;
    // Stopped once the exchange has got that far: its connection waits in the listener's
    // queue, or the server holds its record.
    struct Row {
        const char* what;
        std::uint16_t port;
        FailureStage stage;
        std::function<bool()> reached;
    };
    const Row rows[] = {{"before the handshake", stuck.port(), FailureStage::Connecting,
                         [&] { return velquor::testing::waitingConnections(stuck.port()) > 0; }},
                        {"waiting for the reply", silent->port(), FailureStage::Exchanging,
                         [&] { return silent->received().size() == 1; }}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto channel = channelTo(Kind::Device, row.port, {60s, 60s});
        std::stop_source stop;
        channel.setStopToken(stop.get_token());
        std::atomic<std::chrono::steady_clock::time_point> stoppedAt{};
        std::jthread canceller([&stop, &row, &stoppedAt] {
            EXPECT_TRUE(velquor::testing::waitUntil(row.reached, 20s));
            stoppedAt = std::chrono::steady_clock::now();
            stop.request_stop();
        });
        const Outcome outcome = exchange(channel, Kind::Device, sampleRecord(Kind::Device));
        const auto afterTheStop = std::chrono::steady_clock::now() - stoppedAt.load();
        EXPECT_EQ(outcome.result, -1);
        // The time-outs are a minute: an exchange that ended well inside one after the stop
        // ended because of it, however slowly a loaded machine reached the stage.
        EXPECT_LT(afterTheStop, 30s) << "a Cancel must not wait for the time-out";
        EXPECT_TRUE(channel.lastCallCancelled());
        EXPECT_EQ(channel.lastError(), "cancelled");
        EXPECT_EQ(channel.lastFailureStage(), row.stage);
        EXPECT_EQ(outcome.printed, "") << "a Cancel is not a fault to diagnose";
    }
}

TEST_F(ChannelTest, TestConnectionShowsTheCertificateOrWhyThereIsNone) {
    auto server = serverFor(Kind::Login);
    KestoEndpoint endpoint;
    endpoint.address = "127.0.0.1";
    endpoint.loginPort = server->port();
    endpoint.caFile = certificates().caFile().string();
    endpoint.timeouts = {2s, 2s};
    auto shown = testConnection(endpoint);
    ASSERT_TRUE(shown.ok()) << shown.error().message;
    EXPECT_EQ(shown->subject, "kesto test server");
    EXPECT_EQ(shown->names, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(shown->issuer, "ca");
    EXPECT_GT(shown->expires, std::chrono::system_clock::now());
    EXPECT_LT(shown->expires, std::chrono::system_clock::now() + std::chrono::hours(24 * 3));
    EXPECT_TRUE(shown->notAfter.ends_with(" UTC")) << shown->notAfter;
    ASSERT_TRUE(eventually([&] { return server->received().size() == 1; }));
    EXPECT_EQ(server->received()[0], "") << "a test sends no record";

    struct Row {
        const char* what;
        KestoEndpoint endpoint;
        std::string reason;
    };
    KestoEndpoint byName = endpoint;
    byName.address = "localhost";
    KestoEndpoint dead = endpoint;
    dead.loginPort = m_closed.port();
    SilentTcpListener stuck;
    KestoEndpoint silent = endpoint;
    silent.loginPort = stuck.port();
    silent.timeouts.connect = 300ms;
    KestoEndpoint noCa = endpoint;
    noCa.caFile = "absent.pem";
    noCa.caProblem = "no CA certificate found (looked for absent.pem); set ca-file";
    const Row rows[] = {
        {"another name", byName, "is for 127.0.0.1, not localhost"},
        {"dead port", dead, "Connection refused"},
        {"silent", silent,
         "no TLS handshake with 127.0.0.1:" + std::to_string(stuck.port()) + " within 300 ms"},
        {"no CA file", noCa, noCa.caProblem},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ::testing::internal::CaptureStdout();
        auto failed = testConnection(row.endpoint);
        ::testing::internal::GetCapturedStdout();
        ASSERT_FALSE(failed.ok());
        EXPECT_NE(failed.error().message.find(row.reason), std::string::npos)
            << failed.error().message;
    }
}

TEST_F(ChannelTest, RecordOfWrongLengthIsNeverSent) {
    auto server = serverFor(Kind::Device);
    auto channel = channelTo(Kind::Device, server->port());
    const std::string shortRecord = sampleRecord(Kind::Device).substr(0, 511);
    const Outcome outcome = exchange(channel, Kind::Device, shortRecord);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "");
    EXPECT_NE(channel.lastError().find("512"), std::string::npos);
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Preparing);
    // A login record on the device port is refused the same way.
    const std::string login = sampleRecord(Kind::Login);
    EXPECT_EQ(channel.SendDeviceRequest(login.data(), login.size()), -1);
    // A connection made would be waiting in the server's queue or taken by now.
    EXPECT_TRUE(velquor::testing::listenQueueEmptied(server->port()));
    EXPECT_EQ(server->connectionsAccepted(), 0);
}

TEST_F(ChannelTest, LaterExchangesResumeTheTlsSession) {
    auto server = serverFor(Kind::Device);
    auto channel = channelTo(Kind::Device, server->port());
    auto record = *buildDeviceRequest({"ADD", "m", "s", "u"});
    for (int i = 0; i < 4; ++i) EXPECT_EQ(channel.SendDeviceRequest(record), 0);
    EXPECT_EQ(channel.resumedSessions(), 3u);
    EXPECT_EQ(server->handshakesCompleted(), 4);
}

TEST_F(ChannelTest, ImpostorTakingOverThePortIsNotTrustedThroughTheOldSession) {
    auto server = serverFor(Kind::Login);
    const std::uint16_t port = server->port();
    auto channel = channelTo(Kind::Login, port);
    EXPECT_EQ(channel.SendLoginRequest(*buildLoginRequest({"a", "b"})), 0);
    EXPECT_EQ(channel.SendLoginRequest(*buildLoginRequest({"a", "b"})), 0);
    EXPECT_EQ(channel.resumedSessions(), 1u);
    server.reset();
    const auto& rogue = certificates().otherCa();
    ScriptedTlsServer impostor(rogue.certificate, rogue.key, kLoginRequestSize, {}, port);
    const Outcome outcome = exchange(channel, Kind::Login, sampleRecord(Kind::Login));
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.printed, "Handle the failed verification \n");
    EXPECT_TRUE(impostor.received().empty());
}

TEST(ChannelDefaults, EndpointAndTimeouts) {
    const KestoEndpoint endpoint;
    EXPECT_EQ(endpoint.address, VELQUOR_KESTO_ADDRESS);
    EXPECT_EQ(endpoint.loginPort, 44388);
    EXPECT_EQ(endpoint.accountPort, 44389);
    EXPECT_EQ(endpoint.devicePort, 44391);
    EXPECT_EQ(endpoint.caFile, "cacert.pem");
    const ProvisioningChannel channel;
    EXPECT_EQ(channel.timeouts().connect, std::chrono::seconds(5));
    EXPECT_EQ(channel.timeouts().exchange, std::chrono::seconds(10));
}

}  // namespace
}  // namespace velquor::provisioning
