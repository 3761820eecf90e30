// Guessing: velquor-cli serve over a site of 1,000 phones' configuration files, asked for
// 10,000 names of the site's own pattern that no phone of it has (a maker's prefix and a
// counting suffix). First all from one address, on a kept connection: held to 0 configuration
// files served and the address held back after at most 20 misses. Then spread over the 256
// addresses of one /24, 256 at once: held to 0 files served, with how many of the guesses were
// looked at printed. Meanwhile the site's phones of another /24 fetch their files: their rate
// beside the same fetch without the attack is printed. The sizes come from
// VELQUOR_BENCH_GUESSES and VELQUOR_BENCH_GUESS_PHONES.
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "loopback.h"
#include "server_processes.h"
#include "site_files.h"

namespace fs = std::filesystem;
using namespace velquor::bench;
using namespace std::chrono_literals;

namespace {

constexpr unsigned kLoneGuesserBlock = 60;
constexpr unsigned kSpreadBlock = 61;  // 127.61.0.0/24: its first 256 addresses
constexpr unsigned kPhoneBlock = 62;
constexpr unsigned kSpreadAddresses = 256;
constexpr unsigned kPhoneAddresses = 200;
constexpr std::size_t kPhonesInFlight = 64;

// COUNT guessed names from ADDRESSES addresses of BLOCK, one guesser an address: the names of
// the site's pattern past its phones'.
std::vector<Phone> guessers(const SiteFiles& site, std::size_t count, unsigned block,
                            unsigned addresses) {
    std::vector<Phone> phones(addresses);
    for (unsigned a = 0; a < addresses; ++a) phones[a].source = loopbackSource(block, a);
    for (std::size_t i = 0; i < count; ++i)
        phones[i % addresses].fetches.push_back({"/prov/" + configName(site.phones + i)});
    return phones;
}

std::size_t statusCount(const FetchOutcome& outcome, int status) {
    const auto found = outcome.statuses.find(status);
    return found == outcome.statuses.end() ? 0 : found->second;
}

void printStatuses(const char* what, const FetchOutcome& outcome) {
    std::printf("  %-34s", what);
    for (const auto& [status, count] : outcome.statuses) std::printf(" %d: %zu", status, count);
    std::printf(" (%.2f s)\n", outcome.seconds);
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const std::size_t guesses = benchSize("VELQUOR_BENCH_GUESSES", 10000);
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_GUESS_PHONES", 1000)};
    const fs::path dir = makeBenchFolder("velquor-guessing");
    writeSite(dir / "site", site);
    try {
        const std::uint16_t port = freePort();
        ServerProcess serve = startServe({.folder = dir / "site",
                                          .port = port,
                                          .log = dir / "fetch.csv",
                                          .output = "/dev/null",
                                          .errors = dir / "serve.err"});
        if (!waitUntilAnswering(port, 30s))
            throw std::runtime_error("serve did not start (see " + dir.string() + ")");
        std::printf(
            "guessing: %zu guessed names of a %zu-phone site, from 1 address, then from "
            "%u addresses of one /24; the site's phones fetch meanwhile from another\n",
            guesses, site.phones, kSpreadAddresses);

        const std::vector<Phone> phones =
            sitePhones(site, 0, site.phones, kPhoneBlock, kPhoneAddresses, false);
        const FetchPlan phonePlan{.port = port, .inFlight = kPhonesInFlight};
        const FetchOutcome quiet = fetchAll(phones, phonePlan);

        FetchPlan lonePlan{.port = port, .inFlight = 1};
        lonePlan.phoneDeadline = 600s;
        const FetchOutcome lone = fetchAll(guessers(site, guesses, kLoneGuesserBlock, 1), lonePlan);
        printStatuses("one address, answers:", lone);

        FetchPlan spreadPlan{.port = port, .inFlight = kSpreadAddresses};
        spreadPlan.phoneDeadline = 600s;
        FetchOutcome spread;
        std::thread attack([&] {
            spread = fetchAll(guessers(site, guesses, kSpreadBlock, kSpreadAddresses), spreadPlan);
        });
        const FetchOutcome attacked = fetchAll(phones, phonePlan);
        attack.join();
        printStatuses("256 addresses of a /24, answers:", spread);
        const double ratio = quiet.requestsPerSecond() > 0
                                 ? attacked.requestsPerSecond() / quiet.requestsPerSecond()
                                 : 0;
        std::printf(
            "  phones of another /24: %.0f files/s quiet, %.0f under the spread "
            "guessing: %.2fx\n",
            quiet.requestsPerSecond(), attacked.requestsPerSecond(), ratio);
        std::printf(
            "  proven phones of the attacked /24: need serve's digest option in this "
            "build\n");
        serve.stop();

        bool met = reportTarget("guessing: files served to one address", lone.requestsServed,
                                Goal::AtMost, 0);
        met &= reportTarget("guessing: misses before one address is held", statusCount(lone, 404),
                            Goal::AtMost, 20);
        met &= reportTarget("guessing: files served to a /24's 256 addresses",
                            spread.requestsServed, Goal::AtMost, 0);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_guessed_names: %s\n", error.what());
        return 1;
    }
}
