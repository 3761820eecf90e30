// The boot storm: 10,000 phones each fetching its own 4 KB file, 256 connections in flight, one
// connection per phone, on loopback, from velquor-cli serve (fetch log on) and from nginx
// (access log on) serving the same folder in the same run. Five rounds, each measuring both:
// requests per second and the 99th percentile request time, their ratios judged on the median
// round. Then the time one phone's fetch takes while 1,000 idle connections from one address
// are held. Each phone connects from one of 64 loopback addresses, as a site's phones come
// from many. VELQUOR_BENCH_PHONES and VELQUOR_BENCH_ROUNDS change the sizes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "loopback.h"
#include "site_files.h"
#include "storm_rounds.h"

namespace fs = std::filesystem;
using namespace velquor::bench;

namespace {

constexpr std::size_t kInFlight = 256;
constexpr unsigned kSourceAddresses = 64;
constexpr std::size_t kIdleConnections = 1000;
constexpr unsigned kPhoneBlock = 1;
constexpr unsigned kIdleBlock = 5;
constexpr unsigned kLonePhoneBlock = 6;

// One phone's fetch (ms) from another address while kIdleConnections connections from one
// address hold a request's first bytes; -1 when it was not served.
double fetchBesideIdleConnections(const SiteFiles& site, std::uint16_t port) {
    std::vector<int> idle;
    const std::string partial = "GET /prov/ HTTP/1.1\r\nHo";
    for (std::size_t i = 0; i < kIdleConnections; ++i) {
        const int fd = connectFrom(loopbackSource(kIdleBlock, 0), port);
        if (fd < 0) continue;
        ::send(fd, partial.data(), partial.size(), MSG_NOSIGNAL);  // if already connected
        idle.push_back(fd);
    }
    const FetchOutcome lone = fetchAll(sitePhones(site, 7, 1, kLonePhoneBlock, 1, false),
                                       {.port = port, .inFlight = 1, .keepAlive = false});
    for (int fd : idle) ::close(fd);
    return lone.phonesServed == 1 ? lone.phoneMs.front() : -1;
}

std::uintmax_t lineCount(const fs::path& file) {
    std::uintmax_t lines = 0;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_PHONES", 10000), .firmwareBytes = 0};
    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 5, 3);
    const fs::path dir = makeBenchFolder("velquor-boot-storm");
    openToWorkers(dir);
    writeSite(dir / "site", site);
    try {
        const SiteServers servers = startSiteServers(dir, dir / "site");
        const std::vector<Phone> phones =
            sitePhones(site, 0, site.phones, kPhoneBlock, kSourceAddresses, false);
        std::printf(
            "boot storm: %zu phones, %zu-byte files, %zu connections in flight, one request per "
            "connection, %zu rounds\n",
            site.phones, site.configBytes, kInFlight, rounds);
        const StormRounds storm = runStormRounds(
            phones, {.inFlight = kInFlight, .keepAlive = false}, servers, rounds, "boot");
        const double idleFetchMs = fetchBesideIdleConnections(site, servers.servePort);
        std::printf("  (nginx failed %zu requests; the fetch log has %ju lines)\n",
                    storm.peerFailures, lineCount(dir / "fetch.csv"));
        std::printf("one fetch beside %zu idle connections from one address: %.2f ms%s\n",
                    kIdleConnections, idleFetchMs, idleFetchMs < 0 ? " (not served)" : "");
        bool met = reportMedianTarget("boot storm requests/s vs nginx (ratio)", storm.rateRatios,
                                      Goal::AtLeast, 0.95);
        met &= reportMedianTarget("boot storm p99 vs nginx (ratio)", storm.p99Ratios, Goal::AtMost,
                                  1.2);
        met &= reportTarget("boot storm failed fetches", static_cast<double>(storm.failures),
                            Goal::AtMost, 0);
        met &= reportTarget("fetch beside 1,000 idle connections (ms)",
                            idleFetchMs < 0 ? 1e9 : idleFetchMs, Goal::AtMost, 1000);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_boot_storm: %s\n", error.what());
        return 1;
    }
}
