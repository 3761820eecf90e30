// kestod under load: N concurrent clients (the product's ProvisioningChannel, one per
// thread, each logged in as its own user) make M device ADD exchanges each, against one
// kestod on SQLite, one on PostgreSQL, and two on one PostgreSQL database (clients spread
// over both). Checks that every "YES" is in the database, that each exchange got exactly one
// reply word, and that each kestod's peak memory stays under the limit; prints throughput,
// the 99th-percentile exchange time and each kestod's peak memory, then a table of the three.
// Then the SQLite load again with kestod killed (SIGKILL) half-way: after a restart every
// registration that was answered "YES" must still be there. Exit status 0 only if every check
// held. The PostgreSQL runs use a throw-away cluster (pg_cluster.sh); without PostgreSQL's
// server binaries they are left out, with a message.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestod_fixture.h"
#include "provisioning/provisioning_channel.h"
#include "server/store/account_store.h"
#include "wire/wire_records.h"

namespace {

using namespace velquor;
using Clock = std::chrono::steady_clock;

constexpr double kMemoryLimitMiB = 100.0;

// Our report; stdout itself is left to the channel's diagnostics (sent to /dev/null).
FILE* g_out = stdout;

struct LoadResult {
    std::vector<std::string> acceptedMacs;  // answered "YES"
    std::size_t exchanges = 0;
    std::size_t oddReplies = 0;  // a reply other than one clean "YES"
    std::size_t failures = 0;    // transport failures (expected only around the kill)
    double seconds = 0;
    std::vector<double> exchangeMs;  // every device exchange's time
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

std::string userOf(int client) {
    return "load" + std::to_string(client);
}

bool prepareUsers(const testing::KestodFixture& server, int clients) {
    provisioning::ProvisioningChannel admin(server.endpoint());
    if (admin.SendLoginRequest(
            wire::buildLoginRequest({"chief", server.chiefPassword()}).value()) != 0) {
        return false;
    }
    for (int c = 0; c < clients; ++c) {
        const int result = admin.SendAccountRequest(
            wire::buildAccountRequest({"ADD", userOf(c), "pw-" + userOf(c)}).value());
        if (result != 0) return false;
    }
    return true;
}

// One MAC address per run, client and request, in the canonical form kestod stores: the
// run's tag picks the second byte, so that runs against one server never collide.
std::string loadMac(const std::string& tag, int client, int index) {
    unsigned tagByte = 0;
    for (const unsigned char c : tag) tagByte = (tagByte * 31 + c) & 0xff;
    char text[16];
    std::snprintf(text, sizeof text, "02%02x%04x%04x", tagByte, client & 0xffff, index & 0xffff);
    return text;
}

// Every client logs in, then sends its ADDs; onYes is told the running count of "YES".
// Client c talks to instance c modulo their number.
template <typename OnYes>
LoadResult runLoad(const std::vector<const testing::KestodFixture*>& servers, int clients,
                   int perClient, const std::string& tag, OnYes&& onYes) {
    LoadResult result;
    std::mutex mutex;
    std::atomic<std::size_t> yesCount{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const auto endpoint = servers[static_cast<std::size_t>(c) % servers.size()]->endpoint();
            provisioning::ProvisioningChannel channel(
                endpoint, {std::chrono::milliseconds(5'000), std::chrono::milliseconds(10'000)});
            const std::string user = userOf(c);
            std::vector<std::string> accepted;
            std::vector<double> times;
            times.reserve(static_cast<std::size_t>(perClient));
            std::size_t odd = 0, failed = 0;
            bool loggedIn = channel.SendLoginRequest(
                                wire::buildLoginRequest({user, "pw-" + user}).value()) == 0;
            for (int i = 0; i < perClient; ++i) {
                const std::string mac = loadMac(tag, c, i);
                if (!loggedIn) {
                    ++failed;
                    continue;
                }
                const auto sent = Clock::now();
                const int reply = channel.SendDeviceRequest(
                    wire::buildDeviceRequest({"ADD", mac, "sip.load", user}).value());
                times.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
                if (reply == 0 && channel.lastReply() == "YES") {
                    accepted.push_back(mac);
                    onYes(++yesCount);
                } else if (channel.lastReply().empty()) {
                    ++failed;
                } else {
                    ++odd;
                }
            }
            std::lock_guard lock(mutex);
            result.acceptedMacs.insert(result.acceptedMacs.end(), accepted.begin(), accepted.end());
            result.exchanges += static_cast<std::size_t>(perClient);
            result.oddReplies += odd;
            result.failures += failed;
            result.exchangeMs.insert(result.exchangeMs.end(), times.begin(), times.end());
        });
    }
    for (auto& thread : threads) thread.join();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

double peakMemoryMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return -1;
}

// How many of the accepted MACs are missing from the database, and how many it holds.
std::pair<std::size_t, std::size_t> checkStored(const testing::KestodFixture& server,
                                                const std::vector<std::string>& accepted) {
    auto store =
        server::openAccountStore(server::StoreLocation{server.directory(), server.databaseUrl()},
                                 server::AccountStore::OpenMode::MustExist);
    if (!store) return {accepted.size(), 0};
    auto devices = (*store)->listDevices();
    if (!devices) return {accepted.size(), 0};
    std::set<std::string> stored;
    for (const auto& device : *devices) stored.insert(device.mac);
    std::size_t missing = 0;
    for (const auto& mac : accepted) missing += stored.count(mac) == 0;
    return {missing, stored.size()};
}

bool report(bool ok, const std::string& what) {
    std::fprintf(g_out, "  [%s] %s\n", ok ? "ok" : "FAILED", what.c_str());
    return ok;
}

struct Figures {
    std::string setup;
    double throughput = 0;
    double p99Ms = 0;
    std::vector<double> peakMiB;
};

// The load against `instances` kestod on one store: SQLite, or the PostgreSQL database.
bool steadyLoad(const std::string& setup, int instances, const std::string& databaseUrl,
                int clients, int perClient, std::vector<Figures>& table) {
    std::fprintf(g_out, "kestod load, %s: %d concurrent clients x %d device ADD exchanges\n",
                 setup.c_str(), clients, perClient);
    std::vector<std::unique_ptr<testing::KestodFixture>> servers;
    testing::KestodOptions first;
    first.store = testing::StoreKind::Sqlite;
    first.databaseUrl = databaseUrl;
    servers.push_back(std::make_unique<testing::KestodFixture>(first));
    for (int i = 1; i < instances; ++i) {
        testing::KestodOptions more;
        more.sameStateAs = servers.front().get();
        servers.push_back(std::make_unique<testing::KestodFixture>(more));
    }
    const auto& server = *servers.front();
    if (!prepareUsers(server, clients)) return report(false, "setting up the load users");
    std::vector<const testing::KestodFixture*> targets;
    for (const auto& instance : servers) targets.push_back(instance.get());
    const auto load = runLoad(targets, clients, perClient, "steady", [](std::size_t) {});
    Figures figures{setup, load.exchanges / load.seconds, percentile(load.exchangeMs, 0.99), {}};
    for (const auto& instance : servers) figures.peakMiB.push_back(peakMemoryMiB(instance->pid()));
    const auto [missing, stored] = checkStored(server, load.acceptedMacs);
    std::string peaks;
    for (const double peak : figures.peakMiB) {
        peaks += (peaks.empty() ? "" : ", ") + std::to_string(peak).substr(0, 5) + " MiB";
    }
    std::fprintf(g_out,
                 "  throughput: %.0f exchanges/s (%zu exchanges in %.2f s), p99 exchange %.1f ms, "
                 "kestod peak RSS %s\n",
                 figures.throughput, load.exchanges, load.seconds, figures.p99Ms, peaks.c_str());
    bool ok = true;
    ok &= report(load.acceptedMacs.size() == load.exchanges,
                 std::to_string(load.acceptedMacs.size()) + " of " +
                     std::to_string(load.exchanges) + " answered YES");
    ok &= report(load.oddReplies == 0 && load.failures == 0,
                 "every exchange got exactly one reply word (" + std::to_string(load.oddReplies) +
                     " odd, " + std::to_string(load.failures) + " failed)");
    ok &= report(missing == 0 && stored == load.acceptedMacs.size(),
                 "every YES is in the database, nothing else is (" + std::to_string(missing) +
                     " missing, " + std::to_string(stored) + " stored)");
    ok &= report(std::all_of(figures.peakMiB.begin(), figures.peakMiB.end(),
                             [](double peak) { return peak > 0 && peak < kMemoryLimitMiB; }),
                 "peak memory of each kestod under " +
                     std::to_string(static_cast<int>(kMemoryLimitMiB)) + " MiB");
    table.push_back(std::move(figures));
    return ok;
}

void printTable(const std::vector<Figures>& table) {
    std::fprintf(g_out, "\n| setup | exchanges/s | p99 exchange (ms) | kestod peak RSS (MiB) |\n");
    std::fprintf(g_out, "|---|---|---|---|\n");
    for (const auto& row : table) {
        std::string peaks;
        for (const double peak : row.peakMiB) {
            char text[32];
            std::snprintf(text, sizeof text, "%s%.1f", peaks.empty() ? "" : " + ", peak);
            peaks += text;
        }
        std::fprintf(g_out, "| %s | %.0f | %.1f | %s |\n", row.setup.c_str(), row.throughput,
                     row.p99Ms, peaks.c_str());
    }
    std::fprintf(g_out, "\n");
}

// A throw-away PostgreSQL cluster for the runs on PostgreSQL; absent without the server.
class BenchCluster {
public:
    BenchCluster() : m_state((m_temp / "cluster.state").string()) {
        int status = -1;
        const std::string output =
            testing::runCommand(testing::shellQuote(VELQUOR_PG_CLUSTER_SCRIPT) + " start " +
                                    testing::shellQuote(m_state) + " 2>&1",
                                &status);
        m_running = status == 0;
        if (!m_running) m_problem = output;
    }
    ~BenchCluster() {
        if (m_running) {
            testing::runCommand(testing::shellQuote(VELQUOR_PG_CLUSTER_SCRIPT) + " stop " +
                                testing::shellQuote(m_state));
        }
    }
    bool running() const { return m_running; }
    const std::string& problem() const { return m_problem; }
    const std::string& state() const { return m_state; }

private:
    testing::TempDir m_temp;
    std::string m_state;
    bool m_running = false;
    std::string m_problem;
};

bool loadWithCrash(int clients, int perClient) {
    const std::size_t killAfter = static_cast<std::size_t>(clients) * perClient / 2;
    std::fprintf(g_out, "kestod crash: the same load, SIGKILL after %zu YES, restart\n", killAfter);
    testing::KestodFixture server({.store = testing::StoreKind::Sqlite});
    if (!prepareUsers(server, clients)) return report(false, "setting up the load users");
    std::atomic<bool> killed{false};
    std::mutex killMutex;
    const auto load = runLoad({&server}, clients, perClient, "crash", [&](std::size_t yes) {
        if (yes >= killAfter && !killed.load()) {
            std::lock_guard lock(killMutex);
            if (!killed.exchange(true)) const_cast<testing::KestodFixture&>(server).kill();
        }
    });
    server.restart();
    const auto [missing, stored] = checkStored(server, load.acceptedMacs);
    std::fprintf(g_out, "  %zu answered YES before and around the kill, %zu failed after it\n",
                 load.acceptedMacs.size(), load.failures);
    bool ok = true;
    ok &= report(killed.load(), "kestod was killed in the middle of the load");
    ok &= report(missing == 0, "every registration answered YES survived (" +
                                   std::to_string(missing) + " missing of " +
                                   std::to_string(load.acceptedMacs.size()) + ", " +
                                   std::to_string(stored) + " stored)");
    // A registration committed whose reply was lost in the kill may be stored without a YES;
    // more than one per client in flight would mean replies were sent before commits.
    ok &= report(stored >= load.acceptedMacs.size() &&
                     stored <= load.acceptedMacs.size() + static_cast<std::size_t>(clients),
                 "nothing stored beyond the requests in flight at the kill");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const int clients = argc > 1 ? std::atoi(argv[1]) : 16;
    const int perClient = argc > 2 ? std::atoi(argv[2]) : 500;
    if (clients <= 0 || perClient <= 0) {
        std::fprintf(stderr, "usage: kestod_load [CLIENTS [EXCHANGES_PER_CLIENT]]\n");
        return 2;
    }
    // The channel prints a diagnostic line on stdout per failed exchange; around the kill
    // there are thousands, which would bury the figures.
    std::fflush(stdout);
    g_out = ::fdopen(::dup(STDOUT_FILENO), "w");
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
    std::setvbuf(g_out, nullptr, _IOLBF, 0);
    std::vector<Figures> table;
    bool ok = steadyLoad("SQLite, 1 kestod", 1, {}, clients, perClient, table);
    {
        BenchCluster cluster;
        if (cluster.running()) {
            {
                testing::TestDatabase database(cluster.state());
                ok &= steadyLoad("PostgreSQL, 1 kestod", 1, database.url(), clients, perClient,
                                 table);
            }
            testing::TestDatabase database(cluster.state());
            ok &= steadyLoad("PostgreSQL, 2 kestod", 2, database.url(), clients, perClient, table);
        } else {
            std::fprintf(g_out, "!!! kestod load on PostgreSQL left out: %s\n",
                         cluster.problem().c_str());
        }
    }
    printTable(table);
    ok &= loadWithCrash(clients, perClient);
    return ok ? 0 : 1;
}
