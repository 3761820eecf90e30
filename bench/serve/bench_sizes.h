// The sizes of the phone-server benchmarks: each has the default a site's worst morning needs,
// another from its environment variable, or a tenth of the default with VELQUOR_BENCH_QUICK=1,
// for a run that shows the benchmark works in seconds.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace velquor::bench {

inline std::size_t benchSize(const char* variable, std::size_t full) {
    if (const char* text = std::getenv(variable); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (*end == '\0' && value > 0) return static_cast<std::size_t>(value);
        std::fprintf(stderr, "%s=%s: not a positive count, using %zu\n", variable, text, full);
        return full;
    }
    const char* quick = std::getenv("VELQUOR_BENCH_QUICK");
    if (quick != nullptr && std::string(quick) == "1") return full >= 10 ? full / 10 : full;
    return full;
}

}  // namespace velquor::bench
