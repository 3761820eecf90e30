#include "storm_rounds.h"

#include <cstdio>
#include <stdexcept>

#include "loopback.h"

namespace velquor::bench {
namespace fs = std::filesystem;

SiteServers startSiteServers(const fs::path& dir, const fs::path& folder) {
    SiteServers servers;
    servers.nginxPort = freePort();
    servers.nginx = startNginx({dir / "nginx", folder, servers.nginxPort, 0, nullptr});
    servers.servePort = freePort();
    servers.serve = startServe({.folder = folder,
                                .port = servers.servePort,
                                .log = dir / "fetch.csv",
                                .output = dir / "serve.out",
                                .errors = dir / "serve.err"});
    const auto limit = std::chrono::seconds(30);
    if (!waitUntilAnswering(servers.nginxPort, limit) ||
        !waitUntilAnswering(servers.servePort, limit))
        throw std::runtime_error("a server did not start (see " + dir.string() + ")");
    return servers;
}

StormRounds runStormRounds(const std::vector<Phone>& phones, FetchPlan plan,
                           const SiteServers& servers, std::size_t rounds,
                           const std::string& label) {
    auto storm = [&](std::uint16_t port) {
        plan.port = port;
        return fetchAll(phones, plan);
    };
    storm(servers.servePort);  // warm-up: page cache, connection tables
    storm(servers.nginxPort);
    StormRounds result;
    for (std::size_t round = 1; round <= rounds; ++round) {
        const FetchOutcome ours = storm(servers.servePort);
        const FetchOutcome peer = storm(servers.nginxPort);
        const double ourP99 = percentile(ours.requestMs, 0.99);
        const double peerP99 = percentile(peer.requestMs, 0.99);
        result.rateRatios.push_back(
            peer.requestsPerSecond() > 0 ? ours.requestsPerSecond() / peer.requestsPerSecond() : 0);
        result.p99Ratios.push_back(peerP99 > 0 ? ourP99 / peerP99 : 0);
        result.failures += ours.requestsFailed;
        result.peerFailures += peer.requestsFailed;
        std::printf(
            "  %s round %zu: serve %8.0f requests/s p99 %7.2f ms failed %zu connections %zu | "
            "nginx %8.0f requests/s p99 %7.2f ms failed %zu connections %zu\n",
            label.c_str(), round, ours.requestsPerSecond(), ourP99, ours.requestsFailed,
            ours.connections, peer.requestsPerSecond(), peerP99, peer.requestsFailed,
            peer.connections);
        std::fflush(stdout);
    }
    return result;
}

}  // namespace velquor::bench
