// The TFTP boot storm: 2,000 phones each fetching its own 4 KB file over TFTP, at 64 and at 256
// transfers in flight, on loopback, from velquor-cli serve --tftp-port (fetch log on) and, in
// the same run, from dnsmasq's TFTP server (its log on) and tftpd-hpa's in.tftpd serving the
// same folder; then the same with 1 % of the packets dropped each way. The phones are one
// event-driven client (tftp_phones.h). Prints phones/s and the ratios: at least 1.0x dnsmasq,
// 5x in.tftpd and no failed transfer. dnsmasq serves TFTP on port 69 only and in.tftpd changes
// root into the folder: both need root to start (they drop to nobody), and are left out
// otherwise. VELQUOR_BENCH_PHONES changes the size.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
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

double rateOf(const std::string& label, const std::vector<std::string>& names, TftpStorm storm,
              std::size_t& failed) {
    const TftpStormOutcome outcome = fetchOverTftp(names, storm);
    failed += outcome.failed;
    std::printf("  %-10s %8.0f phones/s  (%zu served, %zu failed, %.2f s)\n", label.c_str(),
                outcome.phonesPerSecond(), outcome.served, outcome.failed, outcome.seconds);
    return outcome.phonesPerSecond();
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

    bool met = true;
    std::size_t failed = 0;
    for (const unsigned drop : {0u, 1u}) {
        for (const std::size_t inFlight : {std::size_t{64}, std::size_t{256}}) {
            std::printf("TFTP storm: %zu phones, %zu-byte files, %zu in flight, %u %% dropped\n",
                        site.phones, site.configBytes, inFlight, drop);
            const TftpStorm storm{.port = tftpPort,
                                  .inFlight = inFlight,
                                  .dropPercent = drop,
                                  .expectedBytes = site.configBytes};
            const double ours = rateOf("velquor", names, storm, failed);
            const std::string label =
                std::to_string(inFlight) + " in flight, " + std::to_string(drop) + " % dropped";
            if (dnsmasq) {
                std::size_t theirs = 0;
                TftpStorm baseline = storm;
                baseline.port = dnsmasq->port;
                const double rate = rateOf("dnsmasq", names, baseline, theirs);
                met &= reportTarget("TFTP phones/s vs dnsmasq, " + label + " (ratio)",
                                    rate > 0 ? ours / rate : 0, Goal::AtLeast, 1.0);
            }
            if (tftpd) {
                std::size_t theirs = 0;
                TftpStorm baseline = storm;
                baseline.port = tftpd->port;
                const double rate = rateOf("tftpd-hpa", names, baseline, theirs);
                met &= reportTarget("TFTP phones/s vs tftpd-hpa, " + label + " (ratio)",
                                    rate > 0 ? ours / rate : 0, Goal::AtLeast, 5.0);
            }
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
