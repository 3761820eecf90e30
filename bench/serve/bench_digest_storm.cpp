// The boot storm with passwords: 10,000 phones, 256 in flight, one connection per file, from
// velquor-cli serve with each phone's password in the sheet's http-password column (HTTP
// digest: a phone's first request is answered 401 with the challenge, which it answers on the
// same connection) and, in the same run, from velquor-cli serve without passwords over the same
// folder and the same phones (a sheet of their MACs alone). Two forms: each phone fetching its
// own 4 KB file alone (the 401 paid for every file), and each phone's boot, its own file then
// the common file, the second on a new connection with the nonce the first was given (nonce
// count 2), as a phone that keeps its digest state between the files of a boot does: the 401
// paid once a phone. Each round measures both sides; the ratio of files served per second is
// judged on the median round of the boot (the one-file form is printed beside it).
// VELQUOR_BENCH_PHONES and VELQUOR_BENCH_ROUNDS change the sizes.
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

struct Storm {
    FetchOutcome outcome;
    double serverUs = 0;
    double phonesUs = 0;
};

// One form of the storm, every round: digest beside no auth.
struct FormRounds {
    std::vector<double> ratios;     // files/s, digest / no auth
    std::vector<double> cpuRatios;  // the server's processor time a file, digest / no auth
    std::size_t failures = 0;

    void add(const Storm& ours, const Storm& peer) {
        cpuRatios.push_back(peer.serverUs > 0 ? ours.serverUs / peer.serverUs : 0);
        const double peerRate = peer.outcome.requestsPerSecond();
        ratios.push_back(peerRate > 0 ? ours.outcome.requestsPerSecond() / peerRate : 0);
        failures += ours.outcome.requestsFailed + peer.outcome.requestsFailed;
    }
};

void printRound(std::size_t round, const Storm& ours, const Storm& peer, double ratio) {
    const auto challenged = ours.outcome.statuses.find(401);
    std::printf(
        "  round %zu: digest %6.0f files/s (%zu challenged) failed %zu, server %.1f us phones "
        "%.1f us a file | no auth %6.0f files/s failed %zu, server %.1f us phones %.1f us a "
        "file | ratio %.2f\n",
        round, ours.outcome.requestsPerSecond(),
        challenged != ours.outcome.statuses.end() ? challenged->second : 0,
        ours.outcome.requestsFailed, ours.serverUs, ours.phonesUs, peer.outcome.requestsPerSecond(),
        peer.outcome.requestsFailed, peer.serverUs, peer.phonesUs, ratio);
    std::fflush(stdout);
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
        for (std::size_t i = 0; i < withPasswords.size(); ++i) {
            withPasswords[i].user = macOf(i);
            withPasswords[i].password = passwordOf(i);
        }
        std::printf(
            "digest storm: %zu phones, %zu-byte files, %zu connections in flight, one connection "
            "per file, %zu rounds\n",
            site.phones, site.configBytes, kInFlight, rounds);
        FetchPlan plan{.inFlight = kInFlight, .keepAlive = false};
        // The storm, and the processor time the server and the phones took for it per file
        // served (µs).
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
        // Round by round, each side first in every other round: neither always meets the
        // other's leftovers (connections in TIME_WAIT, a neighbour's load that just began).
        auto form = [&](const char* label, const std::vector<Phone>& phones) {
            std::vector<Phone> without = phones;
            for (Phone& phone : without) phone.user.clear();
            storm(digestPort, phones, digest);  // warm-up
            storm(plainPort, without, plain);
            FormRounds result;
            std::printf("%s\n", label);
            for (std::size_t round = 1; round <= rounds; ++round) {
                const bool digestFirst = round % 2 == 1;
                Storm ours;
                Storm peer;
                if (digestFirst) ours = storm(digestPort, phones, digest);
                peer = storm(plainPort, without, plain);
                if (!digestFirst) ours = storm(digestPort, phones, digest);
                result.add(ours, peer);
                printRound(round, ours, peer, result.ratios.back());
            }
            return result;
        };
        const FormRounds oneFile = form(
            "one file a phone: its own, challenged first (a phone that fetches one file a boot)",
            withPasswords);
        std::vector<Phone> booting = withPasswords;
        for (Phone& phone : booting)
            phone.fetches.push_back({std::string("/prov/") + kCommonFile, site.commonBytes});
        const FormRounds boot = form(
            "a phone's boot: its own file, challenged first, then the common file on a new "
            "connection with the nonce it was given (nonce count 2: no challenge)",
            booting);
        bool met = reportMedianTarget("digest boot storm files/s vs no auth (ratio)", boot.ratios,
                                      Goal::AtLeast, 0.8);
        std::printf(
            "digest storm, one file a phone, files/s vs no auth (ratio): median of %zu "
            "rounds %.2f\n",
            rounds, percentile(oneFile.ratios, 0.5));
        std::printf(
            "server processor time a file, digest / no auth: median of %zu rounds %.2f (one "
            "file), %.2f (boot)\n",
            rounds, percentile(oneFile.cpuRatios, 0.5), percentile(boot.cpuRatios, 0.5));
        met &= reportTarget("digest boot storm failed fetches",
                            static_cast<double>(oneFile.failures + boot.failures), Goal::AtMost, 0);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_digest_storm: %s\n", error.what());
        return 1;
    }
}
