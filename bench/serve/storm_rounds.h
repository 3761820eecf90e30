// Storms run round by round against velquor-cli serve and nginx serving the same folder: each
// round measures both, one after the other, so that the ratio of a round is taken beside its
// own baseline (a machine getting busier between rounds moves both).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "phone_fetches.h"
#include "server_processes.h"

namespace velquor::bench {

// velquor-cli serve (fetch log DIR/fetch.csv) and nginx (prefix DIR/nginx) serving FOLDER.
struct SiteServers {
    ServerProcess serve;
    ServerProcess nginx;
    std::uint16_t servePort = 0;
    std::uint16_t nginxPort = 0;
};

// Starts both and waits until they answer; throws when one does not.
SiteServers startSiteServers(const std::filesystem::path& dir, const std::filesystem::path& folder);

struct StormRounds {
    std::vector<double> rateRatios;  // requests/s, serve / nginx, one per round
    std::vector<double> p99Ratios;   // 99th percentile request time, serve / nginx
    std::size_t failures = 0;        // serve's failed requests over every round
    std::size_t peerFailures = 0;
};

// A storm of PHONES on each server once to warm up, then ROUNDS rounds, a line printed per
// round under LABEL.
StormRounds runStormRounds(const std::vector<Phone>& phones, FetchPlan plan,
                           const SiteServers& servers, std::size_t rounds,
                           const std::string& label);

}  // namespace velquor::bench
