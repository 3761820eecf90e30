// A batch whose login the server no longer knows: the requests refused as not logged in are
// held, the operator is asked once for the password, and the batch logs in again and finishes
// every row; declined, or with the new login refused, the rows not done stay "not sent" and
// nothing more is sent. Scripted login and device servers say what they received.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "concurrent_tls_server.h"
#include "provisioning/batch_cells.h"
#include "provisioning/kesto_operations.h"
#include "test_certificates.h"

namespace velquor::provisioning {
namespace {

using namespace std::chrono_literals;
using testing::ConcurrentTlsServer;
using testing::ConnectionScript;
using testing::ConnectionStep;
using testing::TestCertificates;

std::string typedMacs(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:00:00:00:31:%02x\n", i);
        text += mac;
    }
    return text;
}

class LoginEndedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_certificates = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { s_certificates.reset(); }

    // The login server answers loginReply; the device server refuses as not logged in until
    // the login server has accepted a login (always, with refuseForever). A login refused logs
    // nobody in: a request the batch sent before it, which the server takes only after it on a
    // busy machine, is refused like the others.
    void serve(std::string loginReply, bool refuseForever = false) {
        const bool loginAccepted = loginReply == "YES";
        m_login = std::make_unique<ConcurrentTlsServer>(
            s_certificates->server(), wire::kLoginRequestSize, [loginReply](int) {
                return ConnectionScript{ConnectionStep::Reply, loginReply};
            });
        m_device = std::make_unique<ConcurrentTlsServer>(
            s_certificates->server(), wire::kDeviceRequestSize,
            [this, refuseForever, loginAccepted](int) {
                const bool loggedIn =
                    !refuseForever && loginAccepted && !m_login->records().empty();
                return ConnectionScript{ConnectionStep::Reply, loggedIn ? "YES" : "NOLOGIN"};
            });
    }

    KestoEndpoint endpoint() const {
        KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.caFile = s_certificates->caFile().string();
        endpoint.loginPort = endpoint.accountPort = m_login->port();
        endpoint.devicePort = m_device->port();
        endpoint.timeouts = ChannelTimeouts{15s, 15s};
        return endpoint;
    }

    DeviceBatchSummary add(int macs, const LoginEndedQuestion& askLogin, std::size_t jobs = 4) {
        DeviceBatch batch{"", "sip.example", "frank", jobs};
        batch.cells = parseTypedMacs(typedMacs(macs));
        support::NullProgress progress;
        const ServerSilentQuestion stop = [](const std::string&, const support::Phrase&) {
            return false;
        };
        auto summary = addDevices(endpoint(), batch, ReplaceQuestion{}, stop, m_reporter, progress,
                                  {}, askLogin);
        EXPECT_TRUE(summary) << summary.error().message;
        return summary ? *summary : DeviceBatchSummary{};
    }

    // Each time asked: the server named, then the answer given.
    LoginEndedQuestion answering(std::optional<std::string> password) {
        return [this, password](const std::string& server) {
            m_asked.push_back(server);
            return password;
        };
    }

    static std::unique_ptr<TestCertificates> s_certificates;
    std::unique_ptr<ConcurrentTlsServer> m_login;
    std::unique_ptr<ConcurrentTlsServer> m_device;
    support::RecordingReporter m_reporter;
    std::vector<std::string> m_asked;
};

std::unique_ptr<TestCertificates> LoginEndedTest::s_certificates;

TEST_F(LoginEndedTest, AskedOnceThenLoggedInAgainEveryRowIsDone) {
    serve("YES");
    const DeviceBatchSummary summary = add(40, answering("new-secret"));
    EXPECT_EQ(m_asked, (std::vector<std::string>{"127.0.0.1"}));
    ASSERT_EQ(m_login->records().size(), 1u);
    auto login = wire::decodeLoginRequest(m_login->records().front());
    ASSERT_TRUE(login);
    EXPECT_EQ(login->userName, "frank");
    EXPECT_EQ(login->password, "new-secret");
    EXPECT_EQ(summary.count(MacOutcome::Added), 40u);
    EXPECT_TRUE(summary.succeeded());
    EXPECT_FALSE(summary.loginEnded);
    // Rows are numbered in the order typed and reported in it.
    for (std::size_t i = 0; i < summary.results.size(); ++i) {
        EXPECT_EQ(summary.results[i].row, static_cast<int>(i) + 1);
    }
    // Few were refused before the batch stopped to ask: the jobs in flight and the run.
    EXPECT_LE(m_device->records().size(), 40u + 3u + 4u);
}

TEST_F(LoginEndedTest, DeclinedOrUnaskableTheRowsNotDoneAreNotSentAndNothingMoreGoes) {
    for (const bool canAsk : {true, false}) {
        SCOPED_TRACE(canAsk ? "declined" : "no question");
        serve("YES");
        m_asked.clear();
        const DeviceBatchSummary summary =
            add(40, canAsk ? answering(std::nullopt) : LoginEndedQuestion{});
        EXPECT_EQ(m_asked.size(), canAsk ? 1u : 0u);
        EXPECT_TRUE(m_login->records().empty());
        EXPECT_TRUE(summary.loginEnded);
        EXPECT_FALSE(summary.succeeded());
        EXPECT_EQ(summary.count(MacOutcome::NotSent), 40u);
        EXPECT_NE(summary.results.back().reason.find("the login to 127.0.0.1 has ended"),
                  std::string::npos)
            << summary.results.back().reason;
        EXPECT_LE(m_device->records().size(), 3u + 4u);
        EXPECT_NE(describeSummary(summary).find("the login has ended"), std::string::npos);
        // Every row can be retried.
        EXPECT_EQ(retryCells(summary).cells.size(), 40u);
    }
}

TEST_F(LoginEndedTest, ANewLoginRefusedStopsTheBatchAndSaysWhy) {
    serve("NO");
    const DeviceBatchSummary summary = add(10, answering("wrong"));
    EXPECT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_login->records().size(), 1u);
    EXPECT_TRUE(summary.loginEnded);
    EXPECT_EQ(summary.count(MacOutcome::NotSent), 10u);
    const auto& entries = m_reporter.entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
        return entry.text == kesto_text::kLoginFailed;
    }));
}

// A server that refuses every request whatever the login would ask for ever.
TEST_F(LoginEndedTest, ANewLoginThatGetsNothingAcceptedIsNotAskedAboutAgain) {
    serve("YES", true);
    const DeviceBatchSummary summary = add(10, answering("secret"));
    EXPECT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_login->records().size(), 1u);
    EXPECT_TRUE(summary.loginEnded);
    EXPECT_EQ(summary.count(MacOutcome::NotSent), 10u);
}

// A run of three refusals as not logged in means the login ended; two are let pass until the
// batch has sent everything else. One exchange at a time, so the records the server had when
// the question came say where the batch stopped.
TEST_F(LoginEndedTest, ThreeRefusalsInARowStopTheBatchAndTwoDoNot) {
    for (const int run : {2, 3}) {
        SCOPED_TRACE(std::to_string(run) + " refused in a row");
        m_login = std::make_unique<ConcurrentTlsServer>(s_certificates->server(),
                                                        wire::kLoginRequestSize);
        m_device = std::make_unique<ConcurrentTlsServer>(
            s_certificates->server(), wire::kDeviceRequestSize, [run](int connection) {
                const bool refused = connection >= 2 && connection < 2 + run;
                return ConnectionScript{ConnectionStep::Reply, refused ? "NOLOGIN" : "YES"};
            });
        std::size_t recordsWhenAsked = 0;
        const DeviceBatchSummary summary = add(
            10,
            [&](const std::string&) -> std::optional<std::string> {
                recordsWhenAsked = m_device->records().size();
                return "secret";
            },
            1);
        EXPECT_EQ(summary.count(MacOutcome::Added), 10u);
        if (run == 2) {
            EXPECT_EQ(recordsWhenAsked, 10u) << "asked before the batch had sent every row";
        } else {
            EXPECT_GE(recordsWhenAsked, 5u);
            EXPECT_LE(recordsWhenAsked, 6u) << "the batch went on past the third refusal";
        }
    }
}

// Fewer rows than the run that means the login ended: once every request is back refused.
TEST_F(LoginEndedTest, ASingleRowRefusedAsNotLoggedInAsksToo) {
    serve("YES");
    const DeviceBatchSummary summary = add(1, answering("secret"), 1);
    EXPECT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(summary.count(MacOutcome::Added), 1u);
    EXPECT_EQ(m_device->records().size(), 2u);
}

}  // namespace
}  // namespace velquor::provisioning
