// The boot storm with phones' certificates: every phone fetches its own 4 KB file over HTTPS
// with a certificate from the site's phones' CA naming its MAC (SEP and the MAC in its common
// name), 256 in flight, a full handshake and one request per connection, on loopback. Beside
// velquor-cli serve --phone-ca (fetch log on), nginx in the same run does the same job: its
// ssl_verify_client on the same CA, a map from the certificate's name to the one file it may
// have, access log on. Rounds alternate the two: requests per second and the 99th percentile
// fetch time (connect to last byte), their ratios judged on the median round. Before the
// rounds each server must refuse a phone asking for another's file. VELQUOR_BENCH_PHONES and
// VELQUOR_BENCH_ROUNDS change the sizes.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "loopback.h"
#include "nginx_config.h"
#include "phone_fetches.h"
#include "server_processes.h"
#include "site_files.h"
#include "tls_phones.h"

namespace fs = std::filesystem;
using namespace velquor::bench;

namespace {

constexpr std::size_t kInFlight = 256;
constexpr unsigned kSourceAddresses = 64;
constexpr unsigned kPhoneBlock = 1;
constexpr char kPrefix[] = "/prov/";

// The MAC of the INDEX-th phone as its file names it, without the extension.
std::string macOf(std::size_t index) {
    const std::string name = configName(index);
    return name.substr(0, name.find('.'));
}

std::string nginxConfig(const fs::path& prefix, const fs::path& folder, std::uint16_t port,
                        const TlsFiles& tls, const fs::path& ca) {
    std::string config = nginxConfigStart(prefix);
    // The certificate's common name tells the phone; its file is the only one of a phone's
    // it may have.
    config +=
        "  sendfile on;\n  default_type application/octet-stream;\n"
        "  map $ssl_client_s_dn $phone_mac {\n"
        "    \"~CN=SEP(?<mac>[0-9A-Fa-f]{12})\" $mac;\n    default none;\n  }\n"
        "  server {\n    listen 127.0.0.1:" +
        std::to_string(port) + " ssl backlog=1024;\n    ssl_certificate " +
        tls.certificate.string() + ";\n    ssl_certificate_key " + tls.key.string() +
        ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n    ssl_client_certificate " + ca.string() +
        ";\n    ssl_verify_client on;\n"
        "    location ~ \"^/prov/(?<asked>[0-9A-Fa-f]{12})\\.xml$\" {\n"
        "      if ($asked != $phone_mac) { return 403; }\n      alias " +
        folder.string() + "/$asked.xml;\n    }\n    location /prov/ { alias " + folder.string() +
        "/; }\n"
        "  }\n}\n";
    return config;
}

struct Servers {
    ServerProcess serve;
    ServerProcess nginx;
    std::uint16_t servePort = 0;
    std::uint16_t nginxPort = 0;
};

Servers startServers(const fs::path& dir, const TlsFiles& tls, const fs::path& ca) {
    Servers servers;
    servers.servePort = freePort();
    servers.serve = ServerProcess(
        {VELQUOR_CLI_BINARY, "serve", (dir / "site").string(), "--address", "127.0.0.1", "--port",
         std::to_string(servers.servePort), "--log", (dir / "fetch.csv").string(), "--tls-cert",
         tls.certificate.string(), "--tls-key", tls.key.string(), "--phone-ca", ca.string()},
        dir / "serve.out", dir / "serve.err");
    servers.nginxPort = freePort();
    const fs::path prefix = dir / "nginx";
    fs::create_directories(prefix);
    std::ofstream(prefix / "nginx.conf")
        << nginxConfig(prefix, dir / "site", servers.nginxPort, tls, ca);
    servers.nginx =
        ServerProcess({"nginx", "-p", prefix.string() + "/", "-e", (prefix / "error.log").string(),
                       "-c", (prefix / "nginx.conf").string()},
                      prefix / "nginx.out", prefix / "nginx.err");
    const auto limit = std::chrono::seconds(30);
    if (!waitUntilAnswering(servers.servePort, limit) ||
        !waitUntilAnswering(servers.nginxPort, limit))
        throw std::runtime_error("a server did not start (see " + dir.string() + ")");
    return servers;
}

// The status a phone gets for another phone's file (403 from both, or the job differs).
int strangersStatus(const std::vector<TlsPhone>& phones, std::uint16_t port) {
    TlsPhone stranger = phones.at(0);
    stranger.path = phones.at(1).path;
    const TlsFetchOutcome outcome = fetchAllOverTls({stranger}, port, 1);
    return outcome.statuses.empty() ? 0 : outcome.statuses.begin()->first;
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const SiteFiles site{.phones = benchSize("VELQUOR_BENCH_PHONES", 4000), .firmwareBytes = 0};
    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 5, 3);
    const fs::path dir = makeBenchFolder("velquor-certificate-storm");
    openToWorkers(dir);
    writeSite(dir / "site", site);
    try {
        const TlsFiles tls = makeCertificate(dir);
        PhonesCa ca;
        ca.writeCertificate(dir / "phones-ca.pem");
        std::vector<TlsPhone> phones;
        for (std::size_t i = 0; i < site.phones; ++i) {
            phones.push_back(
                {loopbackSource(kPhoneBlock, static_cast<unsigned>(i % kSourceAddresses)),
                 kPrefix + configName(i), site.configBytes, ca.issue("SEP" + macOf(i))});
        }
        Servers servers = startServers(dir, tls, dir / "phones-ca.pem");
        const int serveStranger = strangersStatus(phones, servers.servePort);
        const int nginxStranger = strangersStatus(phones, servers.nginxPort);
        std::printf("a phone asking for another's file: serve %d, nginx %d\n", serveStranger,
                    nginxStranger);
        std::printf(
            "certificate storm: %zu phones with certificates, %zu-byte files, %zu in flight, a "
            "full handshake and one request per connection, %zu rounds\n",
            site.phones, site.configBytes, kInFlight, rounds);
        fetchAllOverTls(phones, servers.servePort, kInFlight);  // warm-up
        fetchAllOverTls(phones, servers.nginxPort, kInFlight);
        std::vector<double> rateRatios;
        std::vector<double> p99Ratios;
        std::size_t failures = 0;
        for (std::size_t round = 1; round <= rounds; ++round) {
            const TlsFetchOutcome ours = fetchAllOverTls(phones, servers.servePort, kInFlight);
            const TlsFetchOutcome peer = fetchAllOverTls(phones, servers.nginxPort, kInFlight);
            const double ourP99 = percentile(ours.requestMs, 0.99);
            const double peerP99 = percentile(peer.requestMs, 0.99);
            rateRatios.push_back(peer.requestsPerSecond() > 0
                                     ? ours.requestsPerSecond() / peer.requestsPerSecond()
                                     : 0);
            p99Ratios.push_back(peerP99 > 0 ? ourP99 / peerP99 : 0);
            failures += ours.failed;
            std::printf(
                "  round %zu: serve %7.0f fetches/s p99 %7.2f ms failed %zu | nginx %7.0f "
                "fetches/s p99 %7.2f ms failed %zu\n",
                round, ours.requestsPerSecond(), ourP99, ours.failed, peer.requestsPerSecond(),
                peerP99, peer.failed);
            std::fflush(stdout);
        }
        bool met = reportMedianTarget("certificate storm fetches/s vs nginx (ratio)", rateRatios,
                                      Goal::AtLeast, 0.9);
        met &= reportMedianTarget("certificate storm p99 vs nginx (ratio)", p99Ratios, Goal::AtMost,
                                  1.2);
        met &= reportTarget("certificate storm failed fetches", static_cast<double>(failures),
                            Goal::AtMost, 0);
        met &= reportTarget("another phone's file refused (403)",
                            serveStranger == 403 && nginxStranger == 403 ? 1 : 0, Goal::AtLeast, 1);
        servers = {};
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_certificate_storm: %s\n", error.what());
        return 1;
    }
}
