// Reading registrations back through the latency proxy (20 ms each way, a 40 ms round trip):
// listing the 100,000 devices of one account, and checking a 10,000-MAC file against it, each
// beside the only way there was before the listing: one exchange per MAC (a one-MAC question,
// with the batch's default number in flight), timed on a sample in the same run and scaled to
// the same count. Targets: the listing within 5 s with the client under 100 MB; the check
// within 5 s.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bench_target.h"
#include "kestod_fixture.h"
#include "latency_proxy.h"
#include "operator_server.h"
#include "provisioning/device_inventory.h"
#include "provisioning/kesto_operations.h"

namespace {

using namespace velquor;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench-operator";
constexpr const char* kPassword = "bench-operator-password";
constexpr int kDevices = 100'000;
constexpr int kChecked = 10'000;
constexpr int kSample = 400;  // one-MAC exchanges timed for the old way
constexpr std::size_t kPagesInFlight = 8;

std::string macOf(int i) {
    char mac[16];
    std::snprintf(mac, sizeof mac, "02%010x", i);
    return mac;
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The account's devices straight into the SQLite file, in one statement: registering 100,000
// through the wire first would be a benchmark of its own.
bool seedDevices(testing::KestodFixture& server) {
    server.stop();
    const std::string sql =
        "INSERT INTO devices(mac, server, account_id) WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL "
        "SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kDevices - 1) +
        ") SELECT printf('02%010x', i), 'https://prov.example/cfg/', (SELECT id FROM accounts "
        "WHERE name = '" +
        kUser + "' AND deleted IS NULL) FROM n;";
    const std::string command =
        "sqlite3 '" + (server.directory() / "kestod.db").string() + "' \"" + sql + "\"";
    const bool seeded = std::system(command.c_str()) == 0;
    server.restart();
    support::NullReporter quiet;
    return seeded && provisioning::login(server.endpoint(), kUser, kPassword, quiet).ok();
}

// One-MAC questions through the pool of a device batch's size: the time for `count`.
double timeOneByOne(const provisioning::KestoEndpoint& endpoint, int count) {
    std::vector<std::string> macs;
    for (int i = 0; i < count; ++i) macs.push_back(macOf(i * 7));
    support::NullProgress none;
    const auto start = Clock::now();
    // Fewer MACs than the account's pages: checkDevices asks each one by itself.
    auto checked = provisioning::checkDevices(provisioning::channelFetchers(endpoint, {}), kUser,
                                              macs, none, {}, {provisioning::kDefaultBatchJobs});
    if (!checked) {
        std::fprintf(stderr, "  one-by-one check failed: %s\n", checked.error().message.c_str());
        return -1;
    }
    return seconds(start);
}

}  // namespace

int main() {
    testing::KestodOptions options;
    options.store = testing::StoreKind::Sqlite;
    const auto server = bench::startKestodOrSkip("bench_device_listing", options);
    if (!server) return 0;
    if (!bench::addOperator(*server, kUser, kPassword) || !seedDevices(*server)) {
        std::fprintf(stderr, "bench_device_listing: cannot prepare %d devices\n", kDevices);
        return 1;
    }
    const auto direct = server->endpoint();
    testing::LatencyProxy proxy(server->address(), server->devicePort(), 20ms);
    auto endpoint = server->endpoint();
    endpoint.devicePort = proxy.port();
    int status = 0;

    {
        support::NullProgress none;
        const auto start = Clock::now();
        auto listed = provisioning::listDevices(provisioning::channelFetchers(direct, {}),
                                                {kUser, ""}, none, {}, {kPagesInFlight});
        std::printf("on loopback: list %d devices in %.2f s%s\n", kDevices, seconds(start),
                    listed ? "" : " (failed)");
    }
    std::printf("reading registrations back through a 40 ms round trip:\n");
    const double before = peakMegabytes();
    support::NullProgress none;
    auto start = Clock::now();
    auto listed = provisioning::listDevices(provisioning::channelFetchers(endpoint, {}),
                                            {kUser, ""}, none, {}, {kPagesInFlight});
    const double listing = seconds(start);
    const double megabytes = peakMegabytes();
    if (!listed || listed->size() != static_cast<std::size_t>(kDevices)) {
        std::fprintf(stderr, "  listing failed: %s\n",
                     listed ? "wrong count" : listed.error().message.c_str());
        return 1;
    }
    const double sample = timeOneByOne(endpoint, kSample);
    if (sample < 0) return 1;
    const double perMac = sample / kSample;
    std::printf("  list %d devices, %zu pages in flight: %6.2f s (peak %.0f MB, %.0f MB before)\n",
                kDevices, kPagesInFlight, listing, megabytes, before);
    std::printf(
        "  one exchange per MAC (%d timed, %zu in flight): %.1f ms/MAC, so %.0f s for "
        "%d: the listing is %.0fx faster\n",
        kSample, provisioning::kDefaultBatchJobs, 1000 * perMac, perMac * kDevices, kDevices,
        perMac * kDevices / listing);
    if (!bench::reportTarget("list 100,000 devices at 40 ms round trip (s)", listing,
                             bench::Goal::AtMost, 5.0) ||
        !bench::reportTarget("list 100,000 devices: client peak memory (MB)", megabytes,
                             bench::Goal::AtMost, 100.0)) {
        status = 1;
    }

    // A site's file: 10,000 of the account's MACs, checked against the listing.
    std::vector<std::string> file;
    for (int i = 0; i < kChecked; ++i) file.push_back(macOf(i * 9));
    start = Clock::now();
    auto checked = provisioning::checkDevices(provisioning::channelFetchers(endpoint, {}), kUser,
                                              file, none, {}, {kPagesInFlight});
    const double check = seconds(start);
    if (!checked) {
        std::fprintf(stderr, "  check failed: %s\n", checked.error().message.c_str());
        return 1;
    }
    std::printf("  check %d MACs: %6.2f s; one exchange per MAC: %.0f s (%.0fx)\n", kChecked, check,
                perMac * kChecked, perMac * kChecked / check);
    if (!bench::reportTarget("check 10,000 MACs at 40 ms round trip (s)", check,
                             bench::Goal::AtMost, 5.0)) {
        status = 1;
    }
    return status;
}
