// The peer figures of the provisioning benchmarks; see peer_rates.h.
#include "peer_rates.h"

#include <cstdio>
#include <regex>
#include <string>

#include "temp_dir.h"

namespace velquor::bench {

std::optional<double> opensslNewConnectionRate(const provisioning::KestoEndpoint& endpoint) {
    int status = 0;
    const std::string output =
        testing::runCommand("openssl s_time -new -time 5 -connect " + endpoint.address + ":" +
                                std::to_string(endpoint.devicePort) + " -CAfile " +
                                testing::shellQuote(endpoint.caFile) + " 2>&1",
                            &status);
    std::smatch match;
    static const std::regex kLine(R"((\d+) connections in ([0-9.]+) real seconds)");
    if (!std::regex_search(output, match, kLine)) {
        std::fprintf(stderr, "openssl s_time gave no rate:\n%s\n", output.c_str());
        return std::nullopt;
    }
    const double seconds = std::stod(match[2]);
    return seconds > 0 ? std::stod(match[1]) / seconds : 0;
}

}  // namespace velquor::bench
