// Sequential device ADD exchanges from one channel object, against kestod on loopback ports,
// compared with the new-connection rate `openssl s_time -new` reaches against the same server
// in the same run. The same is measured against the scripted test server, which replies at
// once, to separate what the client costs from what the server's storage costs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <exception>
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
};

std::vector<Target> g_targets;
int g_run = 0;

void deviceAdds(benchmark::State& state, Target& target, Mode mode) {
    const KestoEndpoint endpoint = target.server->endpoint();
    ProvisioningChannel shared(endpoint);
    const std::string user = mode == Mode::Refused ? "nobody-logged-in" : kUser;
    const int expected = mode == Mode::Refused ? -1 : 0;
    const int run = ++g_run;
    int index = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto request = buildDeviceRequest({"ADD", macFor(run, index++), "sip.bench", user});
        std::optional<ProvisioningChannel> own;
        ProvisioningChannel& channel =
            mode == Mode::NewChannelEach ? own.emplace(endpoint) : shared;
        if (channel.SendDeviceRequest(*request) != expected) {
            state.SkipWithError(("unexpected result: " + channel.lastError()).c_str());
            break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    target.rates[mode] = index / seconds;
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

bool printSummary(const Target& target, double peerRate) {
    std::printf("\n%s:\n", target.server->description().c_str());
    printRate(target, Mode::OneChannel,
              std::to_string(kExchanges) + " sequential device ADDs, one channel:");
    printRate(target, Mode::NewChannelEach, "the same, a new channel per exchange:");
    printRate(target, Mode::Refused, "refused ADDs (no grant, nothing stored):");
    std::printf("  %-48s %7.0f connections/s\n",
                "openssl s_time -new against the same port:", peerRate);
    const auto oneChannel = target.rates.find(Mode::OneChannel);
    const double ratio =
        peerRate > 0 && oneChannel != target.rates.end() ? oneChannel->second / peerRate : 0.0;
    std::printf("  ratio one channel / s_time -new: %.2f (target >= 0.80)\n", ratio);
    return velquor::bench::reportTarget(
        target.server->description() + ": one channel / openssl s_time -new (rate)", ratio,
        velquor::bench::Goal::AtLeast, 0.8);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_targets.reserve(2);
    if (auto kestod = startKestod()) g_targets.push_back({std::move(kestod), {}});
    // The scripted server answers at once: what the client alone costs, whatever the server.
    g_targets.push_back({std::make_unique<ScriptedServer>(), {}});
    if (g_targets.size() == 2) registerBenchmarks(g_targets.front(), "kestod", true);
    registerBenchmarks(g_targets.back(), "scripted", false);
    benchmark::RunSpecifiedBenchmarks();

    int status = 0;
    for (auto& target : g_targets) {
        const auto peerRate = velquor::bench::opensslNewConnectionRate(target.server->endpoint());
        if (!peerRate) status = 1;
        if (!printSummary(target, peerRate.value_or(0))) status = 1;
    }
    g_targets.clear();
    benchmark::Shutdown();
    return status;
}
