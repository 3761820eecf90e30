// The keep-alive storm: 10,000 phones each fetching three files on one kept connection (its
// 4 KB configuration, an 8 KB common file and a 256 KB firmware image), 64 and then 256
// phones at once, from velquor-cli serve (fetch log on) and nginx (access log on, its default
// keep-alive) serving the same folder in the same run. A server that closes the connection
// after an answer costs the phone a new connection for its next file. Five rounds per
// concurrency; the ratio of requests per second is judged on the median round.
// VELQUOR_BENCH_PHONES, VELQUOR_BENCH_ROUNDS and VELQUOR_BENCH_FIRMWARE_KB change the sizes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "site_files.h"
#include "storm_rounds.h"

namespace fs = std::filesystem;
using namespace velquor::bench;

namespace {

constexpr unsigned kPhoneBlock = 1;
constexpr unsigned kSourceAddresses = 64;
constexpr std::size_t kConcurrencies[] = {64, 256};

}  // namespace

int main() {
    raiseDescriptorLimit();
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_PHONES", 10000),
                         .firmwareBytes = benchSize("VELQUOR_BENCH_FIRMWARE_KB", 256) * 1024};
    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 5, 3);
    const fs::path dir = makeBenchFolder("velquor-keepalive-storm");
    openToWorkers(dir);
    writeSite(dir / "site", site);
    try {
        const SiteServers servers = startSiteServers(dir, dir / "site");
        const std::vector<Phone> phones =
            sitePhones(site, 0, site.phones, kPhoneBlock, kSourceAddresses, true);
        std::printf(
            "keep-alive storm: %zu phones, each its %zu-byte configuration, a %zu-byte common "
            "file and a %zu-byte firmware on one kept connection, %zu rounds\n",
            site.phones, site.configBytes, site.commonBytes, site.firmwareBytes, rounds);
        bool met = true;
        std::size_t failures = 0;
        for (const std::size_t inFlight : kConcurrencies) {
            const std::string label = std::to_string(inFlight) + " at once";
            const StormRounds storm =
                runStormRounds(phones, {.inFlight = inFlight}, servers, rounds, label);
            failures += storm.failures;
            std::printf("  (nginx failed %zu requests)\n", storm.peerFailures);
            met &=
                reportMedianTarget("keep-alive storm, " + label + ": requests/s vs nginx (ratio)",
                                   storm.rateRatios, Goal::AtLeast, 0.95);
        }
        met &= reportTarget("keep-alive storm failed fetches", static_cast<double>(failures),
                            Goal::AtMost, 0);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_keepalive_storm: %s\n", error.what());
        return 1;
    }
}
