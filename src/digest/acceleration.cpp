// Which accelerated paths this processor offers and which the units use now.
#include "digest/acceleration.h"

#include <atomic>

#include "digest/acceleration_internal.h"

namespace velquor::digest {

namespace {

std::atomic<bool> g_allowed{true};

Acceleration detect() {
    Acceleration found;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    found.sha = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1") &&
                __builtin_cpu_supports("ssse3");
    found.crc32 = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    found.sha512 = __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("ssse3");
#endif
    return found;
}

}  // namespace

Acceleration availableAcceleration() {
    static const Acceleration available = detect();
    return available;
}

Acceleration activeAcceleration() {
    if (!g_allowed.load(std::memory_order_relaxed)) return {};
    return availableAcceleration();
}

void setAccelerationAllowed(bool allowed) {
    g_allowed.store(allowed, std::memory_order_relaxed);
}

namespace detail {

bool useShaInstructions() {
    return activeAcceleration().sha;
}
bool useClmulCrc32() {
    return activeAcceleration().crc32;
}
bool useAvx512Sha512() {
    return activeAcceleration().sha512;
}

}  // namespace detail

}  // namespace velquor::digest
