// Figures from peer tools that the provisioning benchmarks print beside their own.
#pragma once

#include <filesystem>
#include <optional>

#include "provisioning/provisioning_channel.h"

namespace velquor::bench {

// `openssl s_time -new` against the endpoint's device port for `seconds`: full handshakes,
// no request. Nothing (and the tool's output on stderr) when it gave no rate.
std::optional<double> opensslNewConnectionRate(const provisioning::KestoEndpoint& endpoint,
                                               int seconds = 5);

// What one durable one-row commit costs the sqlite3 tool in `folder` (write-ahead log,
// synchronous=FULL, a table with a registration's indexes), in seconds: `commits` single-row
// transactions, less the same run with none. Nothing when the tool failed.
std::optional<double> sqliteDurableCommitSeconds(const std::filesystem::path& folder, int commits);

}  // namespace velquor::bench
