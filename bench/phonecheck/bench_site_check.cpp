// The phone's-eye check of 10,000 phones whose encrypted files are served by nginx through the
// latency proxy (20 ms each way, a 40 ms round trip): every file fetched and compared with the
// one generated, beside one request at a time, timed on a sample in the same run and scaled
// to the same count. Targets: within 10 s, and at least 20 times faster than one at a time.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_target.h"
#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "latency_proxy.h"
#include "nginx_fixture.h"
#include "phonecheck/phone_check.h"

namespace {

using namespace velquor;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kPhones = 10'000;
constexpr int kSample = 150;  // phones checked one request at a time
constexpr std::size_t kInFlight = phonecheck::kDefaultFetchesInFlight;
const std::string kKey = "bench-phones-key";

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

phonecheck::Phone phoneOf(int i) {
    char mac[16];
    std::snprintf(mac, sizeof mac, "02%010X", i);
    std::string canonical(mac);
    for (char& c : canonical) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return phonecheck::Phone{i + 2, mac, canonical, std::string(mac) + ".xml"};
}

// Generate's output (plain files and en/ copies) and a web root with the en/ copies.
std::vector<phonecheck::Phone> prepare(const fs::path& out, const fs::path& root) {
    crypto::CAes aes;
    aes.Init(static_cast<int>(kKey.size()), reinterpret_cast<const unsigned char*>(kKey.data()));
    fs::create_directories(out / "en");
    std::vector<phonecheck::Phone> phones;
    for (int i = 0; i < kPhones; ++i) {
        phones.push_back(phoneOf(i));
        std::string plain = "<?xml version=\"1.0\"?>\n<DeviceConfig><Account>" +
                            std::to_string(1000 + i) + "</Account><Password>pw-" +
                            std::to_string(i) + "</Password>" + std::string(1500, ' ') +
                            "</DeviceConfig>\n";
        const auto blocks = crypto::encryptToBlocks(aes, std::as_bytes(std::span(plain)));
        const std::string encrypted(blocks.begin(), blocks.end());
        testing::writeFile(out / phones.back().fileName, plain);
        testing::writeFile(out / "en" / phones.back().fileName, encrypted);
        testing::writeFile(root / phones.back().fileName, encrypted);
    }
    return phones;
}

// The time to check phones, and whether every one came out ready.
std::optional<double> timeCheck(const std::vector<phonecheck::Phone>& phones, const fs::path& out,
                                const std::string& url, std::size_t inFlight) {
    std::vector<provisioning::CheckedDevice> registered;
    for (const auto& phone : phones) {
        registered.push_back({phone.mac, provisioning::CheckOutcome::Registered, url, ""});
    }
    phonecheck::SiteCheckInput input{phones, out.string(), kKey, std::move(registered), {}};
    input.fetch.inFlight = inFlight;
    support::NullProgress none;
    const auto start = Clock::now();
    const auto checks = phonecheck::checkPhones(input, none);
    const double taken = seconds(start);
    for (const auto& check : checks) {
        if (check.verdict != phonecheck::Verdict::Ready) {
            std::fprintf(stderr, "  %s: %s\n", check.phone.cell.c_str(),
                         check.reason.english().c_str());
            return std::nullopt;
        }
    }
    return taken;
}

}  // namespace

int main() {
    testing::TempDir out;
    testing::TempDir root;
    fs::create_directories(root.path() / "cfg");
    const auto phones = prepare(out.path(), root.path() / "cfg");
    testing::NginxFixture nginx(root.path());
    if (nginx.port() == 0) {
        std::fprintf(stderr, "bench_site_check: skipped, nginx did not start\n");
        return 0;
    }
    testing::LatencyProxy proxy("127.0.0.1", nginx.port(), 20ms);
    const std::string url = "http://127.0.0.1:" + std::to_string(proxy.port()) + "/cfg/";

    std::printf("the phone's-eye check through a 40 ms round trip:\n");
    const auto all = timeCheck(phones, out.path(), url, kInFlight);
    if (!all) return 1;
    const std::vector<phonecheck::Phone> sample(phones.begin(), phones.begin() + kSample);
    const auto oneByOne = timeCheck(sample, out.path(), url, 1);
    if (!oneByOne) return 1;
    const double scaled = *oneByOne / kSample * kPhones;
    std::printf("  %d phones, %zu in flight: %6.2f s (%zu connections)\n", kPhones, kInFlight, *all,
                proxy.connections());
    std::printf("  one request at a time (%d timed): %.1f ms/phone, so %.0f s for %d: %.0fx\n",
                kSample, 1000 * *oneByOne / kSample, scaled, kPhones, scaled / *all);
    int status = 0;
    if (!bench::reportTarget("check 10,000 phones' files at 40 ms round trip (s)", *all,
                             bench::Goal::AtMost, 10.0) ||
        !bench::reportTarget("check 10,000 phones: times faster than one request at a time",
                             scaled / *all, bench::Goal::AtLeast, 20.0)) {
        status = 1;
    }
    return status;
}
