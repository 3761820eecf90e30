// The refused flood: 100,000 requests, each for its own 15,000-byte path, from an address
// velquor-cli serve was not told to --allow, 32 at once, on kept connections where the server
// keeps them. Held to: the fetch log grows by at most 1 MB and the server's peak memory (VmHWM)
// stays at most 64 MB. The log is written where a site's would be, on a disk (the temporary
// folder, or VELQUOR_BENCH_DIR), not in memory; the flood stops early only when that disk is
// down to its last GB, and says so. The sizes come from VELQUOR_BENCH_FLOOD_REQUESTS and
// VELQUOR_BENCH_FLOOD_PATH_BYTES.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_sizes.h"
#include "bench_target.h"
#include "loopback.h"
#include "server_processes.h"
#include "site_files.h"

namespace fs = std::filesystem;
using namespace velquor::bench;
using namespace std::chrono_literals;

namespace {

constexpr unsigned kFloodBlock = 7;
constexpr std::size_t kInFlight = 32;
constexpr std::size_t kBatch = 1000;
constexpr double kMegabyte = 1024.0 * 1024.0;
constexpr std::uintmax_t kDiskReserve = 1024ull * 1024 * 1024;

// A folder of its own on a disk: VELQUOR_BENCH_DIR, else the temporary folder.
fs::path makeDiskFolder() {
    const char* base = std::getenv("VELQUOR_BENCH_DIR");
    std::string pattern =
        ((base != nullptr ? fs::path(base) : fs::temp_directory_path()) / "velquor-flood-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

bool diskLeft(const fs::path& dir) {
    std::error_code error;
    return fs::space(dir, error).available > kDiskReserve;
}

std::uintmax_t sizeOf(const fs::path& file) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    return error ? 0 : size;
}

// Requests FIRST to FIRST + COUNT - 1 of the flood, each a path of its own of PATH_BYTES.
std::vector<Phone> floodRequests(std::size_t first, std::size_t count, std::size_t pathBytes) {
    std::vector<Phone> requests;
    for (std::size_t i = first; i < first + count; ++i) {
        std::string path = "/prov/" + std::to_string(i) + "-";
        path.resize(std::max(path.size(), pathBytes - 4), 'a');
        requests.push_back({loopbackSource(kFloodBlock, 0), {{path + ".xml"}}});
    }
    return requests;
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const std::size_t total = benchSize("VELQUOR_BENCH_FLOOD_REQUESTS", 100000);
    const std::size_t pathBytes = benchSize("VELQUOR_BENCH_FLOOD_PATH_BYTES", 15000, 15000);
    try {
        const fs::path dir = makeDiskFolder();
        writeSite(dir / "site", {.phones = 10, .firmwareBytes = 0});
        const fs::path log = dir / "fetch.csv";
        const std::uint16_t port = freePort();
        ServerProcess serve = startServe({.folder = dir / "site",
                                          .port = port,
                                          .log = log,
                                          .output = "/dev/null",
                                          .errors = dir / "serve.err",
                                          .allow = {"127.6.0.0/16"}});
        if (!waitUntilAnswering(port, 30s))
            throw std::runtime_error("the server did not start (see " + dir.string() + ")");
        const std::uintmax_t logBefore = sizeOf(log);
        std::map<int, std::size_t> statuses;
        std::size_t sent = 0;
        double seconds = 0;
        while (sent < total && diskLeft(dir)) {
            const std::size_t count = std::min(kBatch, total - sent);
            const FetchOutcome batch =
                fetchAll(floodRequests(sent, count, pathBytes),
                         {.port = port, .inFlight = kInFlight, .phoneDeadline = 10s});
            for (const auto& [status, answers] : batch.statuses) statuses[status] += answers;
            seconds += batch.seconds;
            sent += count;
        }
        const double peakMb = serve.peakMemoryBytes() / kMegabyte;
        serve.stop();  // the log is whole once the server has ended
        const double growthMb = (sizeOf(log) - logBefore) / kMegabyte;
        std::printf(
            "refused flood: %zu of %zu requests sent with %zu-byte paths from an "
            "address outside --allow, %zu at once, in %.1f s\n",
            sent, total, pathBytes, kInFlight, seconds);
        if (sent < total)
            std::printf("  stopped early: the disk of %s was down to its last GB\n", dir.c_str());
        std::printf("  answers:");
        for (const auto& [status, answers] : statuses)
            std::printf(" %s %zu", status == 0 ? "none" : std::to_string(status).c_str(), answers);
        std::printf("\n  fetch log grew %.3f MB; serve's peak memory %.1f MB\n", growthMb, peakMb);
        bool met = reportTarget("refused flood: fetch log growth (MB)", growthMb, Goal::AtMost, 1);
        met &= reportTarget("refused flood: serve's peak memory (MB)", peakMb, Goal::AtMost, 64);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_refused_flood: %s\n", error.what());
        return 1;
    }
}
