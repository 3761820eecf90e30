// Figures from peer tools that the provisioning benchmarks print beside their own.
#pragma once

#include <optional>

#include "provisioning/provisioning_channel.h"

namespace velquor::bench {

// `openssl s_time -new` against the endpoint's device port for five seconds: full handshakes,
// no request. Nothing (and the tool's output on stderr) when it gave no rate.
std::optional<double> opensslNewConnectionRate(const provisioning::KestoEndpoint& endpoint);

}  // namespace velquor::bench
