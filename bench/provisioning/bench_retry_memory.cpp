// The memory of `velquor-cli kesto device add --retry REPORT` on a report of 1,000,000 rows
// (VELQUOR_BENCH_RETRY_ROWS sets another count), CSV and .xlsx, against kestod on loopback:
// 1 row in 100 was not sent and goes again, the merged report is written over a new file. Each
// run's peak resident memory, as /usr/bin/time -v tells it, is set beside the report's size on
// disk; the target is at most twice that size. A last run retries every row of a CSV report, as
// after a first run the server was down for: the whole batch goes again, and its results must
// flow to the merged report as they come rather than pile up. At a million rows that run takes
// kestod over half an hour, so it runs only when VELQUOR_BENCH_LONG is set or the row count is
// given (a smaller one shows the ratio's trend in minutes); otherwise the run says it was left
// out.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "bench_target.h"
#include "kestod_fixture.h"
#include "operator_server.h"
#include "provisioning/kesto_operations.h"
#include "report/report_file.h"
#include "temp_dir.h"

#ifndef VELQUOR_CLI_BINARY
#error "VELQUOR_CLI_BINARY must name the velquor-cli program"
#endif

namespace {

using namespace velquor;

constexpr const char* kUser = "bench-retry";
constexpr const char* kPassword = "bench-retry-password";
constexpr int kDefaultRows = 1000000;
constexpr double kTargetRatio = 2.0;

// One measured retry: the report's format and how often one of its rows was not sent.
struct RetryCase {
    const char* extension;
    int retriedEvery;  // 1: every row goes again
    bool long_;        // runs only when VELQUOR_BENCH_LONG is set
};
constexpr RetryCase kCases[] = {{"csv", 100, false}, {"xlsx", 100, false}, {"csv", 1, true}};

// A report as the first run of a batch writes it: rows MACs of the series, added but for every
// retriedEvery-th, which the server's going away left not sent.
bool writeReport(const std::string& path, int rows, int series, int retriedEvery) {
    auto writer = report::ReportWriter::create(path, provisioning::resultsHeader());
    if (!writer) return false;
    for (int i = 0; i < rows; ++i) {
        provisioning::MacResult result;
        result.row = i + 2;
        result.column = 1;
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:%02x:%02x:%02x:%02x:%02x", series & 0xff,
                      (i >> 24) & 0xff, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff);
        result.macAddress = mac;
        result.outcome = i % retriedEvery == 0 ? provisioning::MacOutcome::NotSent
                                               : provisioning::MacOutcome::Added;
        if (!writer->writeRow(provisioning::resultCells(result))) return false;
    }
    return writer->commit().ok();
}

// 1000000 as "1,000,000".
std::string withCommas(int number) {
    std::string digits = std::to_string(number);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return digits;
}

// The peak resident memory of the retry in bytes; negative when it failed.
double retryPeak(const testing::KestodFixture& server, const testing::TempDir& dir,
                 const std::string& report, const std::string& merged) {
    const auto& ports = server.ports();
    const std::string times = (dir / "time.txt").string();
    const std::string command =
        "/usr/bin/time -v -o " + testing::shellQuote(times) + " " +
        testing::shellQuote(VELQUOR_CLI_BINARY) + " kesto --host 127.0.0.1 --ports " +
        std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," + std::to_string(ports[2]) +
        " --cafile " + testing::shellQuote(server.caCertPath().string()) + " --user " + kUser +
        " --password-file " + testing::shellQuote((dir / "password").string()) +
        " device add --retry " + testing::shellQuote(report) +
        " --server-field https://prov.example/ --replace none --report " +
        testing::shellQuote(merged) + " 2>&1";
    int status = 0;
    const std::string output = testing::runCommand(command, &status);
    if (status != 0) {
        std::fprintf(stderr, "  the retry failed (status %d): %s\n", status, output.c_str());
        return -1;
    }
    const std::string said = testing::readFile(times);
    const std::string key = "Maximum resident set size (kbytes): ";
    const std::size_t at = said.find(key);
    if (at == std::string::npos) return -1;
    return std::stod(said.substr(at + key.size())) * 1024;
}

}  // namespace

int main() {
    const auto server = bench::startKestodOrSkip("bench_retry_memory");
    if (!server) return 0;
    if (!bench::addOperator(*server, kUser, kPassword)) {
        std::fprintf(stderr, "bench_retry_memory: cannot make the operator account\n");
        return 1;
    }
    testing::TempDir dir;
    testing::writeFile(dir / "password", std::string(kPassword) + "\n");
    int status = 0;
    int series = 0;
    const char* rowsGiven = std::getenv("VELQUOR_BENCH_RETRY_ROWS");
    const int rows = rowsGiven ? std::atoi(rowsGiven) : kDefaultRows;
    if (rows < 1) {
        std::fprintf(stderr, "bench_retry_memory: VELQUOR_BENCH_RETRY_ROWS is no row count\n");
        return 2;
    }
    std::printf("device add --retry of a %d-row report, peak memory:\n", rows);
    const bool longRuns = std::getenv("VELQUOR_BENCH_LONG") != nullptr || rowsGiven != nullptr;
    for (const RetryCase& run : kCases) {
        const std::string extension = run.extension;
        if (run.long_ && !longRuns) {
            std::printf(
                "  %-5s report, every row sent again: left out (over half an hour; set "
                "VELQUOR_BENCH_LONG=1, or VELQUOR_BENCH_RETRY_ROWS for fewer rows, to run it)\n",
                extension.c_str());
            continue;
        }
        const std::string report = (dir / ("report." + extension)).string();
        const std::string merged = (dir / ("merged." + extension)).string();
        if (!writeReport(report, rows, ++series, run.retriedEvery)) {
            std::fprintf(stderr, "  cannot write %s\n", report.c_str());
            status = 1;
            continue;
        }
        const double size = static_cast<double>(std::filesystem::file_size(report));
        const double peak = retryPeak(*server, dir, report, merged);
        if (peak < 0) {
            status = 1;
            continue;
        }
        const std::string retried = run.retriedEvery == 1
                                        ? std::string("every row")
                                        : "1 row in " + std::to_string(run.retriedEvery);
        std::printf(
            "  %-5s report %7.1f MB, %s sent again, retry peak %7.1f MB: %.2f x the "
            "report\n",
            extension.c_str(), size / 1e6, retried.c_str(), peak / 1e6, peak / size);
        if (!bench::reportTarget("device add --retry, " + withCommas(rows) + "-row " + extension +
                                     " report, " + retried +
                                     " sent again: peak memory / report size",
                                 peak / size, bench::Goal::AtMost, kTargetRatio)) {
            status = 1;
        }
        std::filesystem::remove(report);
        std::filesystem::remove(merged);
    }
    return status;
}
