// Guessing: velquor-cli serve over a site of 1,000 phones' configuration files, each phone
// with its password in the sheet's http-password column (HTTP digest; each phone boots 5 times
// in a storm, for a storm long enough to measure), asked for 10,000 names
// of the site's own pattern (a maker's prefix and a counting suffix, the site's phones among
// them). First all from one address that answers each challenge with a guessed password, on a
// kept connection: held to 0 configuration files served and the address held back (403) after
// at most 20 refused passwords. Then, in each round, the site's phones on its /24 fetch their
// files with their passwords alone and, starting with them, while the guesses come spread over
// the 256 addresses of that /24, 256 at once, each guesser on a kept connection that ignores
// its challenge (the two in turn, each first in every other round; the phones begin once every
// guesser has had its first answer, and the guessing lasts until they are done; the guesses
// answered are printed): held to 0 files served to the guessers and the phones, on the median
// round, at 0.9 times or more their rate without the guessing. The sizes come from
// VELQUOR_BENCH_GUESSES, VELQUOR_BENCH_GUESS_PHONES and VELQUOR_BENCH_ROUNDS.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
constexpr unsigned kSiteBlock = 62;  // 127.62.0.0/24: the site's phones and the guessers
constexpr unsigned kSpreadAddresses = 256;
constexpr unsigned kPhoneAddresses = 64;
constexpr std::size_t kPhonesInFlight = 64;
// Each phone boots this many times in a storm: a storm long enough to be measured beside a
// neighbour's load.
constexpr std::size_t kBootsPerPhone = 5;

std::string macOf(std::size_t phone) {
    const std::string name = configName(phone);
    return name.substr(0, name.find('.'));
}

std::string passwordOf(std::size_t phone) {
    return "guess-" + std::to_string(phone * 7919 % 100003);
}

void writeSheet(const fs::path& file, std::size_t phones) {
    std::ofstream sheet(file);
    sheet << "MAC,http-password\n";
    for (std::size_t i = 0; i < phones; ++i) sheet << macOf(i) << "," << passwordOf(i) << "\n";
}

// COUNT names of the site's pattern from the first, from ADDRESSES addresses of BLOCK, one
// guesser an address, each trying PASSWORD for the first phone's user when one is given.
std::vector<Phone> guessers(std::size_t count, unsigned block, unsigned addresses,
                            const std::string& password) {
    std::vector<Phone> phones(addresses);
    for (unsigned a = 0; a < addresses; ++a) {
        phones[a].source = loopbackSource(block, a);
        if (!password.empty()) {
            phones[a].user = macOf(0);
            phones[a].password = password;
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        phones[i % addresses].fetches.push_back({"/prov/" + configName(i)});
    return phones;
}

std::size_t statusCount(const FetchOutcome& outcome, int status) {
    const auto found = outcome.statuses.find(status);
    return found == outcome.statuses.end() ? 0 : found->second;
}

// The answers a run got, whatever their status.
std::size_t answered(const FetchOutcome& outcome) {
    std::size_t count = 0;
    for (const auto& [status, times] : outcome.statuses)
        if (status != 0) count += times;
    return count;
}

void printStatuses(const char* what, const FetchOutcome& outcome) {
    std::printf("  %-36s", what);
    for (const auto& [status, count] : outcome.statuses) std::printf(" %d: %zu", status, count);
    std::printf(" (%.2f s)\n", outcome.seconds);
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const std::size_t guesses = benchSize("VELQUOR_BENCH_GUESSES", 10000);
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_GUESS_PHONES", 1000)};
    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 5, 3);
    const fs::path dir = makeBenchFolder("velquor-guessing");
    writeSite(dir / "site", site);
    writeSheet(dir / "passwords.csv", site.phones);
    try {
        const std::uint16_t port = freePort();
        ServerProcess serve = startServe({.folder = dir / "site",
                                          .port = port,
                                          .log = dir / "fetch.csv",
                                          .output = "/dev/null",
                                          .errors = dir / "serve.err",
                                          .more = {"--sheet", (dir / "passwords.csv").string()}});
        if (!waitUntilAnswering(port, 30s))
            throw std::runtime_error("serve did not start (see " + dir.string() + ")");
        std::printf(
            "guessing: %zu guessed names of a %zu-phone site with passwords, from 1 "
            "address, then from the %u addresses of the site's /24 while its phones "
            "fetch\n",
            guesses, site.phones, kSpreadAddresses);

        std::vector<Phone> phones =
            sitePhones(site, 0, site.phones * kBootsPerPhone, kSiteBlock, kPhoneAddresses, false);
        for (std::size_t i = 0; i < phones.size(); ++i) {
            phones[i].user = macOf(i % site.phones);
            phones[i].password = passwordOf(i % site.phones);
        }
        const FetchPlan phonePlan{.port = port, .inFlight = kPhonesInFlight};
        fetchAll(phones, phonePlan);  // warm-up: page cache, the phones' nonces' table

        FetchPlan lonePlan{.port = port, .inFlight = 1};
        lonePlan.phoneDeadline = 600s;
        const FetchOutcome lone =
            fetchAll(guessers(guesses, kLoneGuesserBlock, 1, "not-the-password"), lonePlan);
        printStatuses("one address, answers:", lone);

        FetchPlan spreadPlan{.port = port, .inFlight = kSpreadAddresses};
        std::atomic<bool> phonesDone{false};
        std::atomic<std::size_t> guessesAnswered{0};
        spreadPlan.stop = &phonesDone;
        spreadPlan.answers = &guessesAnswered;
        const std::vector<Phone> spreadGuessers =
            guessers(guesses, kSiteBlock, kSpreadAddresses, "");
        std::vector<double> ratios;
        std::size_t spreadServed = 0;
        std::size_t phonesFailed = 0;
        for (std::size_t round = 1; round <= rounds; ++round) {
            FetchOutcome quiet;
            FetchOutcome attacked;
            FetchOutcome spread;
            std::size_t guessedBeside = 0;
            const bool quietFirst = round % 2 == 1;
            if (quietFirst) quiet = fetchAll(phones, phonePlan);
            {
                // The phones begin once every guesser has had an answer (the guessing is under
                // way), and the guessing goes on until they are done; then its guessers leave.
                phonesDone = false;
                guessesAnswered = 0;
                std::thread attack([&] { spread = fetchAll(spreadGuessers, spreadPlan); });
                const auto rampEnd = std::chrono::steady_clock::now() + 10s;
                while (guessesAnswered < kSpreadAddresses &&
                       std::chrono::steady_clock::now() < rampEnd)
                    std::this_thread::sleep_for(1ms);
                const std::size_t before = guessesAnswered;
                attacked = fetchAll(phones, phonePlan);
                guessedBeside = guessesAnswered - before;
                phonesDone = true;
                attack.join();
            }
            if (!quietFirst) quiet = fetchAll(phones, phonePlan);
            spreadServed += spread.requestsServed;
            phonesFailed += quiet.requestsFailed + attacked.requestsFailed;
            ratios.push_back(quiet.requestsPerSecond() > 0
                                 ? attacked.requestsPerSecond() / quiet.requestsPerSecond()
                                 : 0);
            std::printf(
                "  round %zu: phones %.0f files/s alone, %.0f beside the guessing (%.2f s): %.2fx "
                "(failed %zu)\n",
                round, quiet.requestsPerSecond(), attacked.requestsPerSecond(), spread.seconds,
                ratios.back(), quiet.requestsFailed + attacked.requestsFailed);
            printStatuses("256 addresses of the /24, answers:", spread);
            std::printf(
                "  %-36s %zu of %zu guesses answered in all, %zu of them while the phones "
                "fetched\n",
                "", answered(spread), guesses, guessedBeside);
            std::fflush(stdout);
        }
        serve.stop();

        bool met = reportTarget("guessing: files served to one address", lone.requestsServed,
                                Goal::AtMost, 0);
        // Every 401 counted as a refused password: the bare challenges among them are few.
        met &= reportTarget("guessing: refused passwords before one address is held",
                            statusCount(lone, 401), Goal::AtMost, 20);
        met &= reportTarget("guessing: files served to the /24's 256 addresses", spreadServed,
                            Goal::AtMost, 0);
        met &= reportMedianTarget("guessing: the /24's phones' rate beside the guessing (ratio)",
                                  ratios, Goal::AtLeast, 0.9);
        met &= reportTarget("guessing: the /24's phones' failed fetches", phonesFailed,
                            Goal::AtMost, 0);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_guessed_names: %s\n", error.what());
        return 1;
    }
}
