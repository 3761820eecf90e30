// bench_crypto: multi-block AES-128 throughput of our fast path and portable path beside
// OpenSSL's AES-128-ECB (EVP) in the same run, with the ratios printed at the end.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_target.h"
#include "console_colours.h"
#include "crypto/aes.h"

namespace {

using velquor::crypto::AesPath;
using velquor::crypto::CAes;

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr unsigned char kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                    0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

std::vector<std::uint8_t> randomBuffer() {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> buffer(kBufferBytes);
    for (auto& b : buffer) b = static_cast<std::uint8_t>(rng());
    return buffer;
}

void ours(benchmark::State& state, AesPath path, bool decrypt) {
    CAes aes;
    aes.Init(16, kKey);
    const auto in = randomBuffer();
    std::vector<std::uint8_t> out(kBufferBytes);
    for (auto _ : state) {
        if (decrypt) {
            velquor::crypto::decryptBlocks(aes, in.data(), out.data(), kBufferBytes / 16, path);
        } else {
            velquor::crypto::encryptBlocks(aes, in.data(), out.data(), kBufferBytes / 16, path);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

void onePerBlock(benchmark::State& state) {
    CAes aes;
    aes.Init(16, kKey);
    const auto in = randomBuffer();
    std::vector<std::uint8_t> out(kBufferBytes);
    for (auto _ : state) {
        for (std::size_t at = 0; at < kBufferBytes; at += 16) aes.Cipher(&in[at], &out[at]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

void openssl(benchmark::State& state, bool decrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const int ready = decrypt ? EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr)
                              : EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr);
    if (ready != 1) {
        state.SkipWithError("EVP init failed");
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    const auto in = randomBuffer();
    std::vector<std::uint8_t> out(kBufferBytes + 16);
    for (auto _ : state) {
        int written = 0;
        const int rc = decrypt ? EVP_DecryptUpdate(ctx, out.data(), &written, in.data(),
                                                   static_cast<int>(kBufferBytes))
                               : EVP_EncryptUpdate(ctx, out.data(), &written, in.data(),
                                                   static_cast<int>(kBufferBytes));
        if (rc != 1) state.SkipWithError("EVP update failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

// Keeps each benchmark's throughput for the ratios printed after the table.
class RecordingReporter final : public benchmark::ConsoleReporter {
public:
    explicit RecordingReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto found = run.counters.find("bytes_per_second");
            if (!run.error_occurred && found != run.counters.end()) {
                throughput[run.benchmark_name()] = found->second.value;
            }
        }
    }
    std::map<std::string, double> throughput;
};

}  // namespace

BENCHMARK_CAPTURE(ours, fast_encrypt, AesPath::Auto, false);
BENCHMARK_CAPTURE(ours, portable_encrypt, AesPath::Portable, false);
BENCHMARK_CAPTURE(openssl, evp_encrypt, false);
BENCHMARK_CAPTURE(ours, fast_decrypt, AesPath::Auto, true);
BENCHMARK_CAPTURE(ours, portable_decrypt, AesPath::Portable, true);
BENCHMARK_CAPTURE(openssl, evp_decrypt, true);
BENCHMARK(onePerBlock);

int main(int argc, char** argv) {
    const auto options = consoleOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter(options);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& t = reporter.throughput;
    const bool hardware = velquor::crypto::hardwareAesAvailable();
    std::printf("\nfast path uses %s\n", hardware ? "the processor's AES instructions"
                                                  : "the portable path (no AES instructions)");
    bool met = true;
    for (const char* direction : {"encrypt", "decrypt"}) {
        const std::string fast = std::string("ours/fast_") + direction;
        const std::string portable = std::string("ours/portable_") + direction;
        const std::string peer = std::string("openssl/evp_") + direction;
        if (!t.contains(fast) || !t.contains(peer)) continue;
        const double ratio = t.at(fast) / t.at(peer);
        std::printf("%s: fast %.0f MiB/s, OpenSSL %.0f MiB/s, fast/OpenSSL = %.2f (target >= 0.50)",
                    direction, t.at(fast) / (1 << 20), t.at(peer) / (1 << 20), ratio);
        if (t.contains(portable)) {
            std::printf("; portable %.0f MiB/s, portable/OpenSSL = %.2f",
                        t.at(portable) / (1 << 20), t.at(portable) / t.at(peer));
        }
        std::printf("\n");
        met = velquor::bench::reportTarget(std::string(direction) + " AES-128 throughput / OpenSSL",
                                           ratio, velquor::bench::Goal::AtLeast, 0.5) &&
              met;
    }
    std::printf("%s\n", met ? "target met" : "TARGET MISSED");
    return met ? 0 : 1;
}
