// Digest throughput, ours against OpenSSL's libcrypto, on the same 1 MiB buffer in one run;
// a table of the ratios (ours / peer) follows the usual benchmark output.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_target.h"
#include "console_colours.h"
#include "digest/acceleration.h"
#include "digest/accumulator.h"
#include "digest/digest_engine.h"

namespace {

using namespace velquor::digest;

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

const std::vector<unsigned char>& buffer() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> bytes(kBufferSize);
        std::mt19937 random(1);
        for (auto& b : bytes) b = static_cast<unsigned char>(random());
        return bytes;
    }();
    return data;
}

struct Case {
    const char* name;
    std::int32_t algorithm;
    std::int32_t sha2Size;
    const char* openSslName;  // nullptr: no peer in libcrypto
    double target;            // the ratio we hold ourselves to; 0 = none
};

constexpr Case kCases[] = {
    {"md5", kAlgorithmMd5, 256, "MD5", 0.9},        {"sha1", kAlgorithmSha1, 256, "SHA1", 0.8},
    {"sha256", kAlgorithmSha2, 256, "SHA256", 0.8}, {"sha384", kAlgorithmSha2, 384, "SHA384", 0.7},
    {"sha512", kAlgorithmSha2, 512, "SHA512", 0.7}, {"md4", kAlgorithmMd4, 256, nullptr, 0},
    {"crc32", kAlgorithmCrc32, 256, nullptr, 0},    {"gost94", kAlgorithmGost, 256, nullptr, 0},
    {"md2", kAlgorithmMd2, 256, nullptr, 0},
};

void ours(benchmark::State& state, const Case& c, bool accelerated) {
    setAccelerationAllowed(accelerated);
    const auto& data = buffer();
    for (auto _ : state) {
        auto accumulator = makeAccumulator(c.algorithm, c.sha2Size);
        accumulator->add(data.data(), data.size());
        benchmark::DoNotOptimize(accumulator->finish());
    }
    setAccelerationAllowed(true);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void openSsl(benchmark::State& state, const Case& c) {
    EVP_MD* md = EVP_MD_fetch(nullptr, c.openSslName, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const auto& data = buffer();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &length);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

// Keeps the throughput of every run so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto found = run.counters.find("bytes_per_second");
            if (found == run.counters.end()) continue;
            std::string name = run.benchmark_name();
            name = name.substr(0, name.find("/min_time"));
            m_throughput[name] = found->second;
        }
    }
    std::map<std::string, double> m_throughput;
};

}  // namespace

int main(int argc, char** argv) {
    const bool sha = availableAcceleration().sha;
    for (const auto& c : kCases) {
        benchmark::RegisterBenchmark((std::string("velquor/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { ours(s, c, true); })
            ->MinTime(0.3);
        const Acceleration available = availableAcceleration();
        const bool hasFastPath =
            (available.sha && (c.algorithm == kAlgorithmSha1 ||
                               (c.algorithm == kAlgorithmSha2 && c.sha2Size == 256))) ||
            (available.sha512 && c.algorithm == kAlgorithmSha2 && c.sha2Size != 256) ||
            (available.crc32 && c.algorithm == kAlgorithmCrc32);
        if (hasFastPath) {
            benchmark::RegisterBenchmark((std::string("velquor-portable/") + c.name).c_str(),
                                         [&c](benchmark::State& s) { ours(s, c, false); })
                ->MinTime(0.3);
        }
        if (c.openSslName != nullptr) {
            benchmark::RegisterBenchmark((std::string("openssl/") + c.name).c_str(),
                                         [&c](benchmark::State& s) { openSsl(s, c); })
                ->MinTime(0.3);
        }
    }
    const auto options = consoleOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(options);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nThroughput ratio ours / OpenSSL libcrypto (1 MiB buffer; SHA instructions %s)\n",
                sha ? "present" : "absent");
    std::printf("%-8s %12s %12s %8s %8s %s\n", "digest", "ours MB/s", "peer MB/s", "ratio",
                "target", "verdict");
    bool met = true;
    for (const auto& c : kCases) {
        if (c.openSslName == nullptr) continue;
        const auto mine = reporter.m_throughput.find(std::string("velquor/") + c.name);
        const auto peer = reporter.m_throughput.find(std::string("openssl/") + c.name);
        if (mine == reporter.m_throughput.end() || peer == reporter.m_throughput.end()) continue;
        const double ratio = mine->second / peer->second;
        std::printf("%-8s %12.0f %12.0f %8.2f %8.2f %s\n", c.name, mine->second / 1e6,
                    peer->second / 1e6, ratio, c.target, ratio >= c.target ? "ok" : "BELOW");
    }
    for (const auto& c : kCases) {
        const auto mine = reporter.m_throughput.find(std::string("velquor/") + c.name);
        const auto peer = reporter.m_throughput.find(std::string("openssl/") + c.name);
        if (c.openSslName == nullptr) continue;
        if (mine == reporter.m_throughput.end() || peer == reporter.m_throughput.end()) {
            met = false;  // a case that did not run cannot be said to meet its target
            continue;
        }
        met = velquor::bench::reportTarget(std::string(c.name) + " throughput / OpenSSL",
                                           mine->second / peer->second,
                                           velquor::bench::Goal::AtLeast, c.target) &&
              met;
    }
    benchmark::Shutdown();
    return met ? 0 : 1;
}
