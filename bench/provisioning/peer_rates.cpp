// The peer figures of the provisioning benchmarks; see peer_rates.h.
#include "peer_rates.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

#include "temp_dir.h"

namespace velquor::bench {

std::optional<double> opensslNewConnectionRate(const provisioning::KestoEndpoint& endpoint,
                                               int seconds) {
    int status = 0;
    const std::string output =
        testing::runCommand("openssl s_time -new -time " + std::to_string(seconds) + " -connect " +
                                endpoint.address + ":" + std::to_string(endpoint.devicePort) +
                                " -CAfile " + testing::shellQuote(endpoint.caFile) + " 2>&1",
                            &status);
    std::smatch match;
    static const std::regex kLine(R"((\d+) connections in ([0-9.]+) real seconds)");
    if (!std::regex_search(output, match, kLine)) {
        std::fprintf(stderr, "openssl s_time gave no rate:\n%s\n", output.c_str());
        return std::nullopt;
    }
    const double elapsed = std::stod(match[2]);
    return elapsed > 0 ? std::stod(match[1]) / elapsed : 0;
}

namespace {

// Seconds the sqlite3 tool takes to make a fresh database in `folder` and commit `commits`
// rows one transaction each; nothing when it failed.
std::optional<double> timeSqliteCommits(const std::filesystem::path& folder, int commits) {
    const auto database = folder / "durable.db";
    const auto script = folder / "commits.sql";
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(database.string() + suffix);
    }
    {
        std::ofstream out(script);
        out << "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;\n"
               "CREATE TABLE devices(mac TEXT PRIMARY KEY, server TEXT NOT NULL, "
               "account_id INTEGER NOT NULL, registered TEXT NOT NULL DEFAULT "
               "(strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));\n"
               "CREATE INDEX devices_by_account_id ON devices(account_id);\n"
               "CREATE INDEX devices_listed ON devices(account_id, mac);\n";
        char row[160];
        for (int i = 0; i < commits; ++i) {
            std::snprintf(row, sizeof row,
                          "BEGIN IMMEDIATE; INSERT INTO devices(mac, server, account_id) "
                          "VALUES('%012x', 'sip.bench', 1); COMMIT;\n",
                          static_cast<unsigned>(i) * 7919u);
            out << row;
        }
    }
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::string output =
        testing::runCommand("sqlite3 " + testing::shellQuote(database.string()) + " < " +
                                testing::shellQuote(script.string()) + " 2>&1",
                            &status);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) {
        std::fprintf(stderr, "sqlite3 failed:\n%s\n", output.c_str());
        return std::nullopt;
    }
    return seconds;
}

}  // namespace

std::optional<double> sqliteDurableCommitSeconds(const std::filesystem::path& folder, int commits) {
    const auto none = timeSqliteCommits(folder, 0);
    const auto some = timeSqliteCommits(folder, commits);
    if (!none || !some) return std::nullopt;
    return std::max(0.0, *some - *none) / commits;
}

}  // namespace velquor::bench
