// Registering 1,000 MAC addresses read from an .xlsx file through addDevices, against kestod on
// loopback, beside the raw rate of the same number of device ADD exchanges sent straight through
// one ProvisioningChannel in the same run. The difference is what the operation adds on top of
// the exchanges (reading the workbook, building records, results, progress); it should stay
// under a tenth of the exchanges' own time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_target.h"
#include "kestod_fixture.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/provisioning_channel.h"
#include "temp_dir.h"
#include "wire/wire_records.h"

namespace {

using namespace velquor;
using namespace velquor::provisioning;
using namespace velquor::wire;
using Clock = std::chrono::steady_clock;

constexpr const char* kChiefPassword = "bench-chief-password";
constexpr const char* kUser = "bench-operator";
constexpr const char* kUserPassword = "bench-operator-password";

int macCount() {
    if (const char* text = std::getenv("VELQUOR_BENCH_MACS")) return std::max(1, std::atoi(text));
    return 1000;
}

std::string macAddress(int series, int index) {
    char text[32];
    std::snprintf(text, sizeof text, "02:%02x:00:%02x:%02x:%02x", series & 0xff,
                  (index >> 16) & 0xff, (index >> 8) & 0xff, index & 0xff);
    return text;
}

std::unique_ptr<testing::KestodFixture> g_server;
std::string g_folder;
double g_rawSeconds = 0;
double g_operationSeconds = 0;

constexpr int kRounds = 3;

// One workbook per round, each with its own MAC addresses, so every round registers new devices.
bool writeWorkbooks(const std::string& folder) {
    std::string script = "import openpyxl\n";
    script += "for series in range(" + std::to_string(kRounds) + "):\n";
    script += "    wb = openpyxl.Workbook()\n    ws = wb.active\n";
    script += "    for i in range(" + std::to_string(macCount()) + "):\n";
    script +=
        "        ws.cell(row=i + 1, column=1, value='02:%02x:00:%02x:%02x:%02x' % "
        "(100 + series, (i >> 16) & 255, (i >> 8) & 255, i & 255))\n";
    script += "    wb.save(" + testing::shellQuote(folder) + " + '/macs-%d.xlsx' % series)\n";
    testing::writeFile(folder + "/make_workbooks.py", script);
    // Debian's interpreter, where python3-openpyxl is installed, ahead of any other on PATH.
    const std::string python =
        std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    int status = 0;
    const std::string output = testing::runCommand(
        python + " " + testing::shellQuote(folder + "/make_workbooks.py") + " 2>&1", &status);
    if (status != 0) {
        std::fprintf(stderr, "cannot write the workbooks with openpyxl: %s\n", output.c_str());
        return false;
    }
    return true;
}

bool prepare(const std::string& folder) {
    try {
        g_server = std::make_unique<testing::KestodFixture>(
            testing::KestodOptions{.chiefPassword = kChiefPassword});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_kesto_operations: kestod did not start: %s\n", error.what());
        return false;
    }
    support::NullReporter quiet;
    const auto& endpoint = g_server->endpoint();
    if (!login(endpoint, "chief", kChiefPassword, quiet) ||
        !addUser(endpoint, kUser, kUserPassword, kUserPassword, quiet)) {
        std::fprintf(stderr, "cannot make the benchmark's account on kestod\n");
        return false;
    }
    g_folder = folder;
    return writeWorkbooks(folder);
}

void relogin() {
    support::NullReporter quiet;
    (void)login(g_server->endpoint(), kUser, kUserPassword, quiet);
}

// The peer figure: ADD records built in advance, sent one after the other through one channel.
double rawExchanges(int series) {
    std::vector<DeviceRequest> records;
    for (int i = 0; i < macCount(); ++i) {
        records.push_back(*buildDeviceRequest(
            DeviceFields{"ADD", macAddress(series, i), "https://prov.example/cfg", kUser}));
    }
    relogin();
    ProvisioningChannel channel(g_server->endpoint());
    int failed = 0;
    const auto start = Clock::now();
    for (const auto& record : records) failed += channel.SendDeviceRequest(record) != 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failed == 0 ? seconds : -1;
}

double operationFromWorkbook(int round) {
    relogin();
    support::NullReporter quiet;
    support::NullProgress progress;
    const std::string workbook = g_folder + "/macs-" + std::to_string(round) + ".xlsx";
    const auto start = Clock::now();
    auto summary =
        addDevices(g_server->endpoint(), DeviceBatch{workbook, "https://prov.example/cfg", kUser},
                   {}, quiet, progress, {});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool allAdded =
        summary && summary->count(MacOutcome::Added) == static_cast<std::size_t>(macCount());
    return allAdded ? seconds : -1;
}

// Rounds alternate between the two so that a busy machine weighs on both alike; the fastest
// round of each is compared.
void BM_AddDevicesVersusRawExchanges(benchmark::State& state) {
    for (auto _ : state) {
        g_rawSeconds = g_operationSeconds = 1e9;
        for (int round = 0; round < kRounds; ++round) {
            const double raw = rawExchanges(10 + round);
            const double operation = operationFromWorkbook(round);
            if (raw < 0 || operation < 0) {
                state.SkipWithError("some requests failed");
                return;
            }
            g_rawSeconds = std::min(g_rawSeconds, raw);
            g_operationSeconds = std::min(g_operationSeconds, operation);
        }
    }
    state.counters["raw_exchanges/s"] = macCount() / g_rawSeconds;
    state.counters["addDevices_MACs/s"] = macCount() / g_operationSeconds;
    state.counters["overhead_%"] = (g_operationSeconds / g_rawSeconds - 1.0) * 100.0;
}

}  // namespace

BENCHMARK(BM_AddDevicesVersusRawExchanges)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
    testing::TempDir folder;
    if (!prepare(folder.path().string())) {
        std::fprintf(stderr, "bench_kesto_operations: cannot run (no kestod or no workbook)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bool met = false;
    if (g_rawSeconds > 0 && g_operationSeconds > 0) {
        const double overhead = g_operationSeconds / g_rawSeconds - 1.0;
        std::printf(
            "\n%d MACs: raw exchanges %.2f s (%.0f/s), addDevices from .xlsx %.2f s "
            "(%.0f/s)\noverhead beyond the exchanges: %+.1f%% (target: under 10%%)\n",
            macCount(), g_rawSeconds, macCount() / g_rawSeconds, g_operationSeconds,
            macCount() / g_operationSeconds, overhead * 100.0);
        met = bench::reportTarget("addDevices overhead beyond the exchanges (%)", overhead * 100.0,
                                  bench::Goal::AtMost, 10.0);
    }
    g_server.reset();
    return met ? 0 : 1;
}
