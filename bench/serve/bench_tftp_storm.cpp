// The TFTP boot storm: 2,000 phones each fetching its own 4 KB file over TFTP, at 64 and at 256
// transfers in flight, on loopback, from velquor-cli serve --tftp-port (fetch log on) and, in
// the same run, from dnsmasq's TFTP server (its log on) and tftpd-hpa's in.tftpd serving the
// same folder; then the same with 1 % of the packets dropped each way. The phones are one
// event-driven client (tftp_phones.h). Each case runs in rounds, every server once a round and
// each first in its turn; a round's ratio is velquor's rate over the other's in that round,
// and the targets hold the median: at least 1.0x dnsmasq, 5x in.tftpd, and no failed
// transfer. dnsmasq serves TFTP on port 69 only and in.tftpd changes root into the folder:
// both need root to start (they drop to nobody), and are left out otherwise.
// VELQUOR_BENCH_PHONES and VELQUOR_BENCH_ROUNDS change the sizes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "loopback.h"
#include "server_processes.h"
#include "site_files.h"
#include "tftp_phones.h"

namespace fs = std::filesystem;
using namespace velquor::bench;

namespace {

constexpr std::uint16_t kTftpPort = 69;

// Waits until a TFTP server on port serves name, at most ten tries.
bool waitUntilServing(std::uint16_t port, const std::string& name) {
    for (int tries = 0; tries < 10; ++tries) {
        if (fetchOverTftp({name}, {.port = port, .inFlight = 1}).served == 1) return true;
        ::usleep(200 * 1000);
    }
    return false;
}

// Whether the child process runs still: one that could not bind its port has ended (a zombie
// until it is waited for), and another server on that port would be measured in its place.
bool stillRunning(const ServerProcess& process) {
    std::ifstream stat("/proc/" + std::to_string(process.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t afterName = text.rfind(')');
    return afterName != std::string::npos && afterName + 2 < text.size() &&
           text[afterName + 2] != 'Z';
}

struct Baseline {
    std::string name;
    std::uint16_t port = 0;
    ServerProcess process;
};

std::optional<Baseline> startDnsmasq(const fs::path& dir, const fs::path& folder,
                                     const std::string& probe) {
    if (::geteuid() != 0) return std::nullopt;
    Baseline dnsmasq{
        "dnsmasq", kTftpPort,
        ServerProcess({"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--port=0",
                       "--enable-tftp", "--tftp-root=" + folder.string(),
                       "--listen-address=127.0.0.1", "--bind-interfaces", "--tftp-max=1000",
                       "--user=nobody", "--log-facility=" + (dir / "dnsmasq.log").string(),
                       "--pid-file=" + (dir / "dnsmasq.pid").string()},
                      dir / "dnsmasq.out", dir / "dnsmasq.err")};
    if (!waitUntilServing(kTftpPort, probe)) return std::nullopt;
    if (!stillRunning(dnsmasq.process)) {
        std::printf("(dnsmasq ended at its start: is another server on port 69? See %s)\n",
                    (dir / "dnsmasq.err").c_str());
        return std::nullopt;
    }
    return dnsmasq;
}

std::optional<Baseline> startTftpdHpa(const fs::path& dir, const fs::path& folder,
                                      const std::string& probe) {
    if (::geteuid() != 0) return std::nullopt;
    const std::uint16_t port = freeUdpPort();
    Baseline tftpd{"tftpd-hpa", port,
                   ServerProcess({"in.tftpd", "-L", "-v", "-a", "127.0.0.1:" + std::to_string(port),
                                  "-u", "nobody", "-s", folder.string()},
                                 dir / "tftpd.out", dir / "tftpd.err")};
    if (!waitUntilServing(port, probe)) return std::nullopt;
    return tftpd;
}

// A server the storm is sent to, and the ratio velquor must reach beside it (0: velquor).
struct Side {
    std::string name;
    std::uint16_t port = 0;
    const ServerProcess* process = nullptr;  // whose processor time is read; none for in.tftpd
    double goal = 0;
};

// One side's storm in a round: its outcome and the processor time its server and the phones
// took a phone.
struct SideRun {
    TftpStormOutcome outcome;
    double serverUs = 0;
    double phonesUs = 0;
};

SideRun storm(const Side& side, const std::vector<std::string>& names, TftpStorm plan) {
    plan.port = side.port;
    const double before = side.process != nullptr ? side.process->cpuSeconds() : 0;
    const double phonesBefore = processorSeconds();
    SideRun run{fetchOverTftp(names, plan)};
    if (run.outcome.served > 0)
        run.phonesUs =
            (processorSeconds() - phonesBefore) * 1e6 / static_cast<double>(run.outcome.served);
    if (side.process != nullptr && run.outcome.served > 0)
        run.serverUs =
            (side.process->cpuSeconds() - before) * 1e6 / static_cast<double>(run.outcome.served);
    return run;
}

// Green for a target met, red for one missed, on a terminal only (a pipe or a file gets
// plain text).
std::string coloured(const std::string& text, bool met) {
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    if (!terminal) return text;
    return (met ? "\033[32m" : "\033[31m") + text + "\033[0m";
}

std::string caseLabel(std::size_t inFlight, unsigned drop) {
    return std::to_string(inFlight) + " in flight, " + std::to_string(drop) + " % dropped";
}

// ROUNDS rounds of the storm on every side, each side first in its turn; prints every round
// and the median ratios. Returns whether velquor met every ratio; adds its failed transfers.
bool runCase(const std::vector<Side>& sides, const std::vector<std::string>& names,
             const TftpStorm& plan, unsigned drop, std::size_t rounds, std::size_t& failed) {
    const std::string label = caseLabel(plan.inFlight, drop);
    std::vector<std::vector<double>> ratios(sides.size());
    std::vector<double> ourRates;
    for (std::size_t round = 0; round < rounds; ++round) {
        std::vector<SideRun> runs(sides.size());
        for (std::size_t turn = 0; turn < sides.size(); ++turn) {
            const std::size_t which = (round + turn) % sides.size();
            runs[which] = storm(sides[which], names, plan);
        }
        std::printf("  round %zu (%s first):", round + 1, sides[round % sides.size()].name.c_str());
        for (std::size_t which = 0; which < sides.size(); ++which) {
            const SideRun& run = runs[which];
            std::printf("%s %s %.0f phones/s, %zu failed, %zu phone retries, slowest %.2f s",
                        which ? " |" : "", sides[which].name.c_str(), run.outcome.phonesPerSecond(),
                        run.outcome.failed, run.outcome.retries, run.outcome.slowestSeconds);
            std::printf(", phones %.0f us", run.phonesUs);
            if (run.serverUs > 0) std::printf(", server %.0f us a phone", run.serverUs);
            if (which == 0) continue;
            const double theirs = run.outcome.phonesPerSecond();
            ratios[which].push_back(theirs > 0 ? runs[0].outcome.phonesPerSecond() / theirs : 0);
            std::printf(", ratio %.2f", ratios[which].back());
        }
        std::printf("\n");
        std::fflush(stdout);
        ourRates.push_back(runs[0].outcome.phonesPerSecond());
        failed += runs[0].outcome.failed;
    }
    bool met = true;
    std::string summary = "  " + label + ": velquor median " +
                          std::to_string(static_cast<long>(median(ourRates))) + " phones/s";
    for (std::size_t which = 1; which < sides.size(); ++which) {
        const Side& side = sides[which];
        const bool sideMet =
            reportMedianTarget("TFTP phones/s vs " + side.name + ", " + label + " (ratio)",
                               ratios[which], Goal::AtLeast, side.goal);
        char ratio[64];
        std::snprintf(ratio, sizeof ratio, "%.2fx %s (>= %.1fx)", median(ratios[which]),
                      side.name.c_str(), side.goal);
        summary += "; " + coloured(ratio, sideMet);
        met &= sideMet;
    }
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    return met;
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_PHONES", 2000), .firmwareBytes = 0};
    const fs::path dir = makeBenchFolder("velquor-tftp-storm");
    openToWorkers(dir);
    writeSite(dir / "site", site);
    openToWorkers(dir / "site");
    std::vector<std::string> names;
    for (std::size_t i = 0; i < site.phones; ++i) names.push_back(configName(i));

    const std::uint16_t tftpPort = freeUdpPort();
    ServerProcess serve =
        startServe({.folder = dir / "site",
                    .port = freePort(),
                    .log = dir / "fetch.csv",
                    .output = "/dev/null",
                    .errors = dir / "serve.err",
                    .more = {"--tftp-port", std::to_string(tftpPort), "--plain-files"}});
    if (!waitUntilServing(tftpPort, names.front())) {
        std::fprintf(stderr, "bench_tftp_storm: velquor-cli serve did not serve TFTP\n");
        return 1;
    }
    std::optional<Baseline> dnsmasq = startDnsmasq(dir, dir / "site", names.front());
    std::optional<Baseline> tftpd = startTftpdHpa(dir, dir / "site", names.front());
    if (!dnsmasq) std::printf("(dnsmasq left out: it needs root to serve TFTP on port 69)\n");
    if (!tftpd) std::printf("(in.tftpd left out: it needs root to change root and user)\n");

    std::vector<Side> sides{{"velquor", tftpPort, &serve, 0}};
    if (dnsmasq) sides.push_back({"dnsmasq", dnsmasq->port, &dnsmasq->process, 1.0});
    if (tftpd) sides.push_back({"tftpd-hpa", tftpd->port, nullptr, 5.0});

    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 5, 3);
    for (const Side& side : sides)  // warm-up: the page cache, each server's first transfers
        storm(side, names, {.inFlight = 64, .expectedBytes = site.configBytes});
    bool met = true;
    std::size_t failed = 0;
    for (const unsigned drop : {0u, 1u}) {
        for (const std::size_t inFlight : {std::size_t{64}, std::size_t{256}}) {
            std::printf(
                "TFTP storm: %zu phones, %zu-byte files, %zu in flight, %u %% dropped, %zu "
                "rounds\n",
                site.phones, site.configBytes, inFlight, drop, rounds);
            const TftpStorm plan{
                .inFlight = inFlight, .dropPercent = drop, .expectedBytes = site.configBytes};
            met &= runCase(sides, names, plan, drop, rounds, failed);
        }
    }
    met &= reportTarget("TFTP storm failed transfers (velquor)", static_cast<double>(failed),
                        Goal::AtMost, 0);
    serve.stop();
    if (dnsmasq) dnsmasq->process.stop();
    if (tftpd) tftpd->process.stop();
    fs::remove_all(dir);
    return met ? 0 : 1;
}
