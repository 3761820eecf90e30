// The sizes of the phone-server benchmarks: each has the default a site's worst morning needs,
// another from its environment variable, or with VELQUOR_BENCH_QUICK=1 its quick size (a tenth
// of the default unless given), for a run that shows the benchmark works in seconds.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velquor::bench {

inline std::size_t benchSize(const char* variable, std::size_t full, std::size_t quick = 0) {
    if (const char* text = std::getenv(variable); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (*end == '\0' && value > 0) return static_cast<std::size_t>(value);
        std::fprintf(stderr, "%s=%s: not a positive count, using %zu\n", variable, text, full);
        return full;
    }
    const char* quickRun = std::getenv("VELQUOR_BENCH_QUICK");
    if (quickRun != nullptr && std::string(quickRun) == "1")
        return quick != 0 ? quick : std::max<std::size_t>(1, full / 10);
    return full;
}

}  // namespace velquor::bench
