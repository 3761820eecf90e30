// Registering 200 and 1,000 MAC addresses through addDevices against kestod seen through the
// latency proxy (20 ms each way, a 40 ms round trip): one request at a time (--jobs 1) beside
// the default number in flight, with the ratio. One request at a time cannot beat two round
// trips per MAC (handshake, then record and reply); the default should be at least 8 times
// faster for 200. Then the default on loopback, beside the new-connection rate `openssl s_time
// -new` reaches against the same server.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bench_target.h"
#include "kestod_fixture.h"
#include "latency_proxy.h"
#include "operator_server.h"
#include "peer_rates.h"
#include "provisioning/kesto_operations.h"
#include "temp_dir.h"

namespace {

using namespace velquor;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench-operator";
constexpr const char* kPassword = "bench-operator-password";
constexpr auto kOneWay = 20ms;
constexpr double kTargetRatio = 8.0;

bool prepareOperator(const testing::KestodFixture& server) {
    support::NullReporter quiet;
    return bench::addOperator(server, kUser, kPassword) &&
           provisioning::login(server.endpoint(), kUser, kPassword, quiet).ok();
}

// A one-column CSV file of count MACs no other run uses.
std::string writeMacFile(const testing::TempDir& dir, int series, int count) {
    std::string csv;
    for (int i = 0; i < count; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:%02x:00:00:%02x:%02x\n", series & 0xff, (i >> 8) & 0xff,
                      i & 0xff);
        csv += mac;
    }
    const auto path = dir / ("macs-" + std::to_string(series) + ".csv");
    testing::writeFile(path, csv);
    return path.string();
}

// Seconds for one addDevices run; negative when not every MAC was added.
double timeRegistration(const provisioning::KestoEndpoint& endpoint, const std::string& file,
                        int count, std::size_t jobs) {
    support::NullReporter quiet;
    support::NullProgress none;
    const auto start = Clock::now();
    auto summary = provisioning::addDevices(
        endpoint, provisioning::DeviceBatch{file, "https://prov.example/cfg", kUser, jobs}, {},
        quiet, none, {});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool allAdded = summary && summary->count(provisioning::MacOutcome::Added) ==
                                         static_cast<std::size_t>(count);
    if (!allAdded) std::fprintf(stderr, "  some of the %d MACs were not added\n", count);
    return allAdded ? seconds : -1;
}

struct WanFigures {
    double sequential = -1;
    double parallel = -1;
    std::size_t mostAtOnce = 0;
};

WanFigures measureWan(const testing::KestodFixture& server, const testing::TempDir& dir, int count,
                      int& series) {
    WanFigures figures;
    testing::LatencyProxy proxy(server.address(), server.devicePort(), kOneWay);
    auto endpoint = server.endpoint();
    endpoint.devicePort = proxy.port();
    figures.sequential = timeRegistration(endpoint, writeMacFile(dir, ++series, count), count, 1);
    figures.parallel = timeRegistration(endpoint, writeMacFile(dir, ++series, count), count,
                                        provisioning::kDefaultBatchJobs);
    figures.mostAtOnce = proxy.mostAtOnce();
    return figures;
}

}  // namespace

int main() {
    const auto server = bench::startKestodOrSkip("bench_bulk_registration");
    if (!server) return 0;
    if (!prepareOperator(*server)) {
        std::fprintf(stderr, "bench_bulk_registration: cannot make the operator account\n");
        return 1;
    }
    testing::TempDir dir;
    int series = 0;
    int status = 0;
    std::printf("addDevices through a %d ms round trip (latency proxy in front of kestod):\n",
                static_cast<int>(2 * kOneWay.count()));
    for (int count : {200, 1000}) {
        const WanFigures figures = measureWan(*server, dir, count, series);
        if (figures.sequential < 0 || figures.parallel < 0) {
            status = 1;
            continue;
        }
        const double ratio = figures.sequential / figures.parallel;
        std::printf(
            "  %5d MACs: --jobs 1 %7.2f s (%5.1f ms/MAC), --jobs %zu %6.2f s (%4.1f ms/MAC, "
            "%zu open at the proxy at most): %.1fx%s\n",
            count, figures.sequential, 1000 * figures.sequential / count,
            provisioning::kDefaultBatchJobs, figures.parallel, 1000 * figures.parallel / count,
            figures.mostAtOnce, ratio,
            count == 200
                ? (ratio >= kTargetRatio ? " (target >= 8x: met)" : " (target >= 8x: MISSED)")
                : "");
        if (count == 200 &&
            !bench::reportTarget("bulk add 200 MACs, --jobs 1 / default jobs (time)", ratio,
                                 bench::Goal::AtLeast, kTargetRatio)) {
            status = 1;
        }
    }

    const int loopbackCount = 1000;
    const double loopback =
        timeRegistration(server->endpoint(), writeMacFile(dir, ++series, loopbackCount),
                         loopbackCount, provisioning::kDefaultBatchJobs);
    const auto peerRate = bench::opensslNewConnectionRate(server->endpoint());
    std::printf("on loopback:\n");
    if (loopback > 0) {
        std::printf("  %-52s %7.0f MACs/s\n",
                    ("addDevices, " + std::to_string(loopbackCount) + " MACs, --jobs " +
                     std::to_string(provisioning::kDefaultBatchJobs) + ":")
                        .c_str(),
                    loopbackCount / loopback);
    }
    std::printf("  %-52s %7.0f connections/s\n",
                "openssl s_time -new against the same port:", peerRate.value_or(0));
    if (loopback > 0 && peerRate && *peerRate > 0) {
        std::printf("  ratio addDevices / s_time -new: %.2f\n",
                    loopbackCount / loopback / *peerRate);
    }
    if (loopback < 0 || !peerRate) status = 1;
    return status;
}
