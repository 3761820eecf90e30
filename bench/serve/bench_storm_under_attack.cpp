// The storm under attack: while 10,000 connections from 100 loopback addresses drip a byte of
// a never-ending request every 2 s on the HTTP port and 1,000 from 10 others start a TLS
// handshake and say nothing more on the HTTPS port (every attacker opening another connection
// when the server closes its own), 1,000 phones from 100 other addresses, 256 at once, fetch
// their configuration, the common file and the firmware, trying again after a refusal as a
// phone does, each for up to 30 s. velquor-cli serve runs one scheme per process, so two serve
// processes (HTTP and HTTPS) serve the same folder. Held to: 99 % of the phones served, the
// 99th percentile of a phone's time to its last file at most 2 s, and the peak memory (VmHWM)
// of the two serve processes together at most 128 MB. Then, the attack still on, 20 fetches
// over HTTPS (curl, one after another, each from an address of its own) show whether the
// silent handshakes leave room on the HTTPS port (printed). The same attack on nginx (both schemes
// in one configuration) is printed beside it for reference. The sizes come from
// VELQUOR_BENCH_DRIP_CONNECTIONS, VELQUOR_BENCH_DRIP_ADDRESSES,
// VELQUOR_BENCH_SILENT_HANDSHAKES, VELQUOR_BENCH_ATTACK_PHONES and VELQUOR_BENCH_FIRMWARE_KB.
#include <stdio.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "attackers.h"
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

constexpr unsigned kPhoneBlock = 3;
constexpr unsigned kPhonesPerAddress = 10;
constexpr std::size_t kPhonesInFlight = 256;
constexpr auto kPhoneDeadline = 30s;
constexpr auto kRampLimit = 15s;
constexpr double kMegabyte = 1024.0 * 1024.0;
constexpr unsigned kTlsProbes = 20;
constexpr unsigned kTlsProbeBlock = 8;

struct UnderAttack {
    FetchOutcome phones;
    unsigned tlsServed = 0;  // of kTlsProbes
    AttackCounts before;     // once the attack was in place
    AttackCounts after;      // when the last phone was done
};

// How many of kTlsProbes fetches of a configuration file over HTTPS from PORT were served.
unsigned tlsFetchesServed(std::uint16_t port, const TlsFiles& tls) {
    unsigned served = 0;
    for (unsigned i = 0; i < kTlsProbes; ++i) {
        const std::string command =
            "curl -s --max-time 10 --cacert '" + tls.certificate.string() + "' --interface " +
            addressText(loopbackSource(kTlsProbeBlock, i)) +
            " -o /dev/null -w '%{http_code}' https://127.0.0.1:" + std::to_string(port) + "/prov/" +
            configName(i);
        FILE* curl = ::popen(command.c_str(), "r");
        if (curl == nullptr) continue;
        char status[8] = {};
        const std::size_t length = std::fread(status, 1, sizeof status - 1, curl);
        ::pclose(curl);
        if (std::string(status, length) == "200") ++served;
    }
    return served;
}

// Puts the attack of PLAN in place (every attacker connected and dripping for one interval),
// then lets PHONES fetch from its HTTP port and the probes from its HTTPS port while it goes
// on.
UnderAttack fetchUnderAttack(const AttackPlan& plan, const std::vector<Phone>& phones,
                             const TlsFiles& tls) {
    Attack attack(plan);
    const std::size_t attackers = plan.dripConnections + plan.silentHandshakes;
    const auto rampEnd = std::chrono::steady_clock::now() + kRampLimit;
    while (attack.counts().opened < attackers && std::chrono::steady_clock::now() < rampEnd)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(plan.dripInterval);
    UnderAttack result;
    result.before = attack.counts();
    result.phones = fetchAll(phones, {.port = plan.httpPort,
                                      .inFlight = kPhonesInFlight,
                                      .retry = true,
                                      .phoneDeadline = kPhoneDeadline});
    result.after = attack.counts();
    result.tlsServed = tlsFetchesServed(plan.httpsPort, tls);
    return result;
}

double servedShare(const UnderAttack& run) {
    return run.phones.phoneMs.empty()
               ? 0
               : static_cast<double>(run.phones.phonesServed) / run.phones.phoneMs.size();
}

void printRun(const char* who, const UnderAttack& run) {
    std::printf(
        "  %-18s phones served %zu of %zu (%.1f %%), p99 %.0f ms, median %.0f ms; requests "
        "served %zu, failed tries %zu, connections %zu\n",
        who, run.phones.phonesServed, run.phones.phoneMs.size(), 100 * servedShare(run),
        percentile(run.phones.phoneMs, 0.99), percentile(run.phones.phoneMs, 0.5),
        run.phones.requestsServed, run.phones.requestsFailed, run.phones.connections);
    std::printf(
        "  %-18s attackers holding %zu when the phones began, %zu at their end; %zu "
        "attack connections opened, %zu closed by the server\n",
        "", run.before.held, run.after.held, run.after.opened, run.after.closedByServer);
    std::printf("  %-18s answers:", "");
    for (const auto& [status, count] : run.phones.statuses)
        std::printf(" %s %zu", status == 0 ? "none" : std::to_string(status).c_str(), count);
    std::printf("\n  %-18s HTTPS fetches beside the attack served: %u of %u\n", "", run.tlsServed,
                kTlsProbes);
    std::fflush(stdout);
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    AttackPlan plan;
    plan.dripConnections = benchSize("VELQUOR_BENCH_DRIP_CONNECTIONS", 10000);
    plan.dripAddresses = static_cast<unsigned>(benchSize("VELQUOR_BENCH_DRIP_ADDRESSES", 100));
    plan.silentHandshakes = benchSize("VELQUOR_BENCH_SILENT_HANDSHAKES", 1000);
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_ATTACK_PHONES", 1000),
                         .firmwareBytes = benchSize("VELQUOR_BENCH_FIRMWARE_KB", 256) * 1024};
    const fs::path dir = makeBenchFolder("velquor-storm-attack");
    openToWorkers(dir);
    writeSite(dir / "site", site);
    const std::vector<Phone> phones = sitePhones(
        site, 0, site.phones, kPhoneBlock,
        std::max<unsigned>(1, static_cast<unsigned>(site.phones / kPhonesPerAddress)), true);
    try {
        const TlsFiles tls = makeCertificate(dir);
        const std::uint16_t httpPort = freePort(), httpsPort = freePort();
        ServerProcess http = startServe({.folder = dir / "site",
                                         .port = httpPort,
                                         .log = dir / "fetch.csv",
                                         .output = dir / "serve.out",
                                         .errors = dir / "serve.err"});
        ServerProcess https = startServe({.folder = dir / "site",
                                          .port = httpsPort,
                                          .log = dir / "fetch-tls.csv",
                                          .output = dir / "serve-tls.out",
                                          .errors = dir / "serve-tls.err",
                                          .tls = &tls});
        const std::uint16_t nginxPort = freePort(), nginxTlsPort = freePort();
        ServerProcess nginx =
            startNginx({dir / "nginx", dir / "site", nginxPort, nginxTlsPort, &tls});
        for (const std::uint16_t port : {httpPort, httpsPort, nginxPort, nginxTlsPort}) {
            if (!waitUntilAnswering(port, 30s))
                throw std::runtime_error("a server did not start (see " + dir.string() + ")");
        }
        std::printf(
            "storm under attack: %zu connections from %u addresses drip a byte every %lld ms, "
            "%zu sit silent in the TLS handshake; %zu phones from %zu addresses, %zu at once, "
            "fetch 3 files each (firmware %zu bytes)\n",
            plan.dripConnections, plan.dripAddresses,
            static_cast<long long>(plan.dripInterval.count()), plan.silentHandshakes, site.phones,
            std::max<std::size_t>(1, site.phones / kPhonesPerAddress), kPhonesInFlight,
            site.firmwareBytes);
        std::fflush(stdout);

        plan.httpPort = httpPort;
        plan.httpsPort = httpsPort;
        const UnderAttack ours = fetchUnderAttack(plan, phones, tls);
        const double httpMb = http.peakMemoryBytes() / kMegabyte;
        const double httpsMb = https.peakMemoryBytes() / kMegabyte;
        printRun("velquor-cli serve", ours);
        std::printf("  %-18s peak memory: HTTP %.1f MB + HTTPS %.1f MB\n", "", httpMb, httpsMb);
        http.stop();
        https.stop();

        plan.httpPort = nginxPort;
        plan.httpsPort = nginxTlsPort;
        printRun("nginx (reference)", fetchUnderAttack(plan, phones, tls));
        nginx.stop();

        bool met = reportTarget("storm under attack: phones served (share)", servedShare(ours),
                                Goal::AtLeast, 0.99);
        met &= reportTarget("storm under attack: p99 of a phone's fetches (ms)",
                            percentile(ours.phones.phoneMs, 0.99), Goal::AtMost, 2000);
        met &= reportTarget("storm under attack: serve's peak memory (MB)", httpMb + httpsMb,
                            Goal::AtMost, 128);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_storm_under_attack: %s\n", error.what());
        return 1;
    }
}
