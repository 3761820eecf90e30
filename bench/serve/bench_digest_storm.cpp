// The boot storm with passwords: 10,000 phones each fetching its own 4 KB file, 256 in flight,
// one connection per phone, from velquor-cli serve with each phone's password in the sheet's
// http-password column (HTTP digest: the phone's first request is answered 401 with the
// challenge, which it answers on the same connection) and, in the same run, from velquor-cli
// serve without passwords over the same folder and the same phones (a sheet of their MACs
// alone). Each round measures both; the ratio of files served per second is judged on the
// median round. VELQUOR_BENCH_PHONES and VELQUOR_BENCH_ROUNDS change the sizes.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "loopback.h"
#include "server_processes.h"
#include "site_files.h"

namespace fs = std::filesystem;
using namespace velquor::bench;

namespace {

constexpr std::size_t kInFlight = 256;
constexpr unsigned kSourceAddresses = 64;
constexpr unsigned kPhoneBlock = 1;

// The processor time this thread has used, in seconds: the phones' side of a storm.
double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string macOf(std::size_t phone) {
    const std::string name = configName(phone);
    return name.substr(0, name.find('.'));
}

std::string passwordOf(std::size_t phone) {
    return "boot-" + std::to_string(phone * 7919 % 100003);
}

// The site's sheet: the phones' MACs and, with passwords, their http-password column.
void writeSheet(const fs::path& file, std::size_t phones, bool passwords) {
    std::ofstream sheet(file);
    sheet << (passwords ? "MAC,http-password\n" : "MAC\n");
    for (std::size_t i = 0; i < phones; ++i)
        sheet << macOf(i) << (passwords ? "," + passwordOf(i) : std::string()) << "\n";
}

ServerProcess startOne(const fs::path& dir, const std::string& name, std::uint16_t port,
                       const fs::path& sheet) {
    return startServe({.folder = dir / "site",
                       .port = port,
                       .log = dir / (name + ".csv"),
                       .output = dir / (name + ".out"),
                       .errors = dir / (name + ".err"),
                       .more = {"--sheet", sheet.string()}});
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_PHONES", 10000), .firmwareBytes = 0};
    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 5, 3);
    const fs::path dir = makeBenchFolder("velquor-digest-storm");
    writeSite(dir / "site", site);
    writeSheet(dir / "passwords.csv", site.phones, true);
    writeSheet(dir / "macs.csv", site.phones, false);
    try {
        const std::uint16_t digestPort = freePort();
        ServerProcess digest = startOne(dir, "digest", digestPort, dir / "passwords.csv");
        const std::uint16_t plainPort = freePort();
        ServerProcess plain = startOne(dir, "plain", plainPort, dir / "macs.csv");
        if (!waitUntilAnswering(digestPort, std::chrono::seconds(60)) ||
            !waitUntilAnswering(plainPort, std::chrono::seconds(60)))
            throw std::runtime_error("a server did not start (see " + dir.string() + ")");
        std::vector<Phone> withPasswords =
            sitePhones(site, 0, site.phones, kPhoneBlock, kSourceAddresses, false);
        const std::vector<Phone> without = withPasswords;
        for (std::size_t i = 0; i < withPasswords.size(); ++i) {
            withPasswords[i].user = macOf(i);
            withPasswords[i].password = passwordOf(i);
        }
        std::printf(
            "digest storm: %zu phones, %zu-byte files, %zu connections in flight, one connection "
            "per phone, %zu rounds\n",
            site.phones, site.configBytes, kInFlight, rounds);
        FetchPlan plan{.inFlight = kInFlight, .keepAlive = false};
        // The storm, and the processor time the server and the phones took for it per file
        // served (µs).
        struct Storm {
            FetchOutcome outcome;
            double serverUs = 0;
            double phonesUs = 0;
        };
        auto storm = [&](std::uint16_t port, const std::vector<Phone>& phones,
                         const ServerProcess& server) {
            plan.port = port;
            const double serverBefore = server.cpuSeconds();
            const double phonesBefore = threadCpuSeconds();
            Storm run{fetchAll(phones, plan)};
            const double files =
                static_cast<double>(std::max<std::size_t>(1, run.outcome.requestsServed));
            run.serverUs = (server.cpuSeconds() - serverBefore) * 1e6 / files;
            run.phonesUs = (threadCpuSeconds() - phonesBefore) * 1e6 / files;
            return run;
        };
        storm(digestPort, withPasswords, digest);  // warm-up
        storm(plainPort, without, plain);
        std::vector<double> ratios;
        std::vector<double> cpuRatios;
        std::size_t failures = 0;
        for (std::size_t round = 1; round <= rounds; ++round) {
            // Each side goes first in every other round: neither always meets the other's
            // leftovers (connections in TIME_WAIT, a neighbour's load that just began).
            const bool digestFirst = round % 2 == 1;
            Storm ours;
            Storm peer;
            if (digestFirst) ours = storm(digestPort, withPasswords, digest);
            peer = storm(plainPort, without, plain);
            if (!digestFirst) ours = storm(digestPort, withPasswords, digest);
            cpuRatios.push_back(peer.serverUs > 0 ? ours.serverUs / peer.serverUs : 0);
            const double ourRate = ours.outcome.requestsPerSecond();
            const double peerRate = peer.outcome.requestsPerSecond();
            ratios.push_back(peerRate > 0 ? ourRate / peerRate : 0);
            failures += ours.outcome.requestsFailed + peer.outcome.requestsFailed;
            const auto challenged = ours.outcome.statuses.find(401);
            std::printf(
                "  round %zu: digest %6.0f files/s (%zu challenged) failed %zu, server %.1f us "
                "phones %.1f us a file | no auth %6.0f files/s failed %zu, server %.1f us phones "
                "%.1f us a file | ratio %.2f\n",
                round, ourRate, challenged != ours.outcome.statuses.end() ? challenged->second : 0,
                ours.outcome.requestsFailed, ours.serverUs, ours.phonesUs, peerRate,
                peer.outcome.requestsFailed, peer.serverUs, peer.phonesUs, ratios.back());
            std::fflush(stdout);
        }
        bool met = reportMedianTarget("digest boot storm files/s vs no auth (ratio)", ratios,
                                      Goal::AtLeast, 0.8);
        std::printf("server processor time a file, digest / no auth: median of %zu rounds %.2f\n",
                    cpuRatios.size(), percentile(cpuRatios, 0.5));
        met &= reportTarget("digest boot storm failed fetches", static_cast<double>(failures),
                            Goal::AtMost, 0);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_digest_storm: %s\n", error.what());
        return 1;
    }
}
