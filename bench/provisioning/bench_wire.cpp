// Sequential device ADD exchanges from one channel object, against kestod on loopback ports,
// compared with the new-connection rate `openssl s_time -new` reaches against the same server
// in the same run. The same is measured against the scripted test server, which replies at
// once, to separate what the client costs from what the server's storage costs.
//
// Each stored ADD waits for its registration to reach the disk, which a bare connection does
// not; the peer kestod is held to is therefore a connection plus one durable commit of the
// sqlite3 tool on the same file system. The targets are judged on the median of several
// rounds, each round's two rates measured back to back, so that the disk's and the machine's
// swings fall on both sides of a round alike.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_target.h"
#include "kestod_fixture.h"
#include "peer_rates.h"
#include "provisioning/provisioning_channel.h"
#include "scripted_tls_server.h"
#include "temp_dir.h"
#include "test_certificates.h"

namespace {

using namespace velquor::provisioning;
using namespace velquor::wire;

constexpr int kExchanges = 1000;
constexpr int kRounds = 5;
constexpr int kRoundExchanges = 300;
constexpr int kPeerSeconds = 2;
constexpr int kPeerCommits = 500;
constexpr double kTargetRatio = 0.8;
constexpr const char* kUser = "benchuser";
constexpr const char* kUserPassword = "bench-password-1";

// The server under measurement: kestod when there is one, and the scripted server.
class BenchServer {
public:
    virtual ~BenchServer() = default;
    virtual KestoEndpoint endpoint() const = 0;
    virtual std::string description() const = 0;
};

class KestodServer : public BenchServer {
public:
    KestodServer() = default;
    KestoEndpoint endpoint() const override { return m_kestod.endpoint(); }
    std::string description() const override { return "kestod (stores every registration)"; }
    const std::string& chiefPassword() const { return m_kestod.chiefPassword(); }

private:
    velquor::testing::KestodFixture m_kestod;
};

class ScriptedServer : public BenchServer {
public:
    ScriptedServer()
        : m_server(m_certificates.server().certificate, m_certificates.server().key,
                   kDeviceRequestSize) {}

    KestoEndpoint endpoint() const override {
        KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.loginPort = endpoint.accountPort = endpoint.devicePort = m_server.port();
        endpoint.caFile = m_certificates.caFile().string();
        return endpoint;
    }
    std::string description() const override {
        return "scripted test server (replies at once; measures the client alone)";
    }

private:
    testing::TestCertificates m_certificates;
    testing::ScriptedTlsServer m_server;
};

// Logs in as chief, creates the benchmark user and logs in as that user (each grant is tied to
// this peer address), so device requests are authorised.
bool prepareUser(const KestoEndpoint& endpoint, const std::string& chiefPassword) {
    ProvisioningChannel channel(endpoint);
    return channel.SendLoginRequest(*buildLoginRequest({"chief", chiefPassword})) == 0 &&
           channel.SendAccountRequest(*buildAccountRequest({"ADD", kUser, kUserPassword})) == 0 &&
           channel.SendLoginRequest(*buildLoginRequest({kUser, kUserPassword})) == 0;
}

std::string macFor(int run, int index) {
    char text[32];
    std::snprintf(text, sizeof text, "02:%02x:00:%02x:%02x:%02x", run & 0xff, (index >> 16) & 0xff,
                  (index >> 8) & 0xff, index & 0xff);
    return text;
}

enum class Mode {
    OneChannel,      // one channel object for all exchanges: sessions resumed
    NewChannelEach,  // a channel per exchange: a full handshake each
    Refused,         // one channel, a user without a grant: the server stores nothing
};

// One server under measurement and the rates measured against it.
struct Target {
    std::unique_ptr<BenchServer> server;
    std::map<Mode, double> rates;
    bool stores = false;  // whether each ADD waits for a registration stored on disk
};

std::vector<Target> g_targets;
int g_run = 0;

// One ADD of a run's index-th MAC; whether the reply was the one expected.
bool sendAdd(ProvisioningChannel& channel, int run, int index, const std::string& user,
             int expected) {
    const auto request = buildDeviceRequest({"ADD", macFor(run, index), "sip.bench", user});
    return channel.SendDeviceRequest(*request) == expected;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void deviceAdds(benchmark::State& state, Target& target, Mode mode) {
    const KestoEndpoint endpoint = target.server->endpoint();
    ProvisioningChannel shared(endpoint);
    const std::string user = mode == Mode::Refused ? "nobody-logged-in" : kUser;
    const int expected = mode == Mode::Refused ? -1 : 0;
    const int run = ++g_run;
    int index = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::optional<ProvisioningChannel> own;
        ProvisioningChannel& channel =
            mode == Mode::NewChannelEach ? own.emplace(endpoint) : shared;
        if (!sendAdd(channel, run, index++, user, expected)) {
            state.SkipWithError(("unexpected result: " + channel.lastError()).c_str());
            break;
        }
    }
    target.rates[mode] = index / secondsSince(start);
    state.counters["exchanges/s"] = target.rates[mode];
    if (mode != Mode::NewChannelEach) {
        state.counters["resumed"] = static_cast<double>(shared.resumedSessions());
    }
}

void registerBenchmark(Target& target, const std::string& name, Mode mode, int iterations) {
    benchmark::RegisterBenchmark(
        name.c_str(), [&target, mode](benchmark::State& s) { deviceAdds(s, target, mode); })
        ->Iterations(iterations)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

void registerBenchmarks(Target& target, const std::string& name, bool stores) {
    registerBenchmark(target, name + "/device_add/one_channel", Mode::OneChannel, kExchanges);
    registerBenchmark(target, name + "/device_add/new_channel_each", Mode::NewChannelEach,
                      kExchanges / 4);
    if (stores) {
        registerBenchmark(target, name + "/device_add/refused_nothing_stored", Mode::Refused,
                          kExchanges / 4);
    }
}

std::unique_ptr<BenchServer> startKestod() {
    try {
        auto server = std::make_unique<KestodServer>();
        if (prepareUser(server->endpoint(), server->chiefPassword())) return server;
        std::fprintf(stderr, "could not log in and create the benchmark user on kestod\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "could not start kestod: %s\n", e.what());
    }
    return nullptr;
}

void printRate(const Target& target, Mode mode, const std::string& label) {
    const auto found = target.rates.find(mode);
    if (found != target.rates.end()) {
        std::printf("  %-48s %7.0f exchanges/s\n", label.c_str(), found->second);
    }
}

void printSummary(const Target& target) {
    std::printf("\n%s:\n", target.server->description().c_str());
    printRate(target, Mode::OneChannel,
              std::to_string(kExchanges) + " sequential device ADDs, one channel:");
    printRate(target, Mode::NewChannelEach, "the same, a new channel per exchange:");
    printRate(target, Mode::Refused, "refused ADDs (no grant, nothing stored):");
}

// The one-channel ADD rate of a fresh channel; nothing (with the reason) when a reply was wrong.
std::optional<double> oneChannelRate(const KestoEndpoint& endpoint) {
    ProvisioningChannel channel(endpoint);
    const int run = ++g_run;
    const auto start = std::chrono::steady_clock::now();
    for (int index = 0; index < kRoundExchanges; ++index) {
        if (!sendAdd(channel, run, index, kUser, 0)) {
            std::fprintf(stderr, "unexpected result: %s\n", channel.lastError().c_str());
            return std::nullopt;
        }
    }
    return kRoundExchanges / secondsSince(start);
}

// One round: our rate and the peer's, back to back; the ratio of the two, or nothing.
std::optional<double> measureRound(const Target& target, const std::filesystem::path& scratch,
                                   int round) {
    const bool stores = target.stores;
    const KestoEndpoint endpoint = target.server->endpoint();
    const auto ours = oneChannelRate(endpoint);
    const auto connections = velquor::bench::opensslNewConnectionRate(endpoint, kPeerSeconds);
    const auto commit = stores ? velquor::bench::sqliteDurableCommitSeconds(scratch, kPeerCommits)
                               : std::optional<double>(0.0);
    if (!ours || !connections || *connections <= 0 || !commit) return std::nullopt;
    const double peer = 1 / (1 / *connections + *commit);
    std::printf("  round %d: %5.0f ADDs/s; s_time -new %5.0f connections/s", round, *ours,
                *connections);
    if (stores) std::printf(", a durable sqlite3 commit %.3f ms", 1000 * *commit);
    std::printf(": ratio %.2f (to the bare connections %.2f)\n", *ours / peer,
                *ours / *connections);
    return *ours / peer;
}

bool judgeRounds(const Target& target) {
    const bool stores = target.stores;
    velquor::testing::TempDir scratch;
    std::vector<double> ratios;
    for (int round = 1; round <= kRounds; ++round) {
        const auto ratio = measureRound(target, scratch.path(), round);
        if (!ratio) return false;
        ratios.push_back(*ratio);
    }
    const std::string peer =
        stores ? "(openssl s_time -new + one durable sqlite3 commit)" : "openssl s_time -new";
    return velquor::bench::reportMedianTarget(
        target.server->description() + ": one channel / " + peer + " (rate)", ratios,
        velquor::bench::Goal::AtLeast, kTargetRatio);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_targets.reserve(2);
    if (auto kestod = startKestod()) g_targets.push_back({std::move(kestod), {}, true});
    // The scripted server answers at once: what the client alone costs, whatever the server.
    g_targets.push_back({std::make_unique<ScriptedServer>(), {}, false});
    if (g_targets.size() == 2) registerBenchmarks(g_targets.front(), "kestod", true);
    registerBenchmarks(g_targets.back(), "scripted", false);
    benchmark::RunSpecifiedBenchmarks();

    int status = 0;
    for (auto& target : g_targets) {
        printSummary(target);
        std::printf("  %d rounds of %d ADDs, one channel, each beside its peer (target >= %.2f):\n",
                    kRounds, kRoundExchanges, kTargetRatio);
        if (!judgeRounds(target)) status = 1;
    }
    g_targets.clear();
    benchmark::Shutdown();
    return status;
}
