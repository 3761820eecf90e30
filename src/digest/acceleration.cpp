// Which accelerated paths this processor offers and which the units use now.
#include "digest/acceleration.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "digest/acceleration_internal.h"

namespace velquor::digest {

namespace {

std::atomic<bool> g_allowed{true};

#if defined(__x86_64__) || defined(__i386__)
bool cpuHasShaExtensions() {
#if defined(__clang__)
    // Clang's __builtin_cpu_supports does not know "sha": ask cpuid (leaf 7, EBX bit 29).
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & (1u << 29)) != 0;
#else
    return __builtin_cpu_supports("sha");
#endif
}
#endif

Acceleration detect() {
    Acceleration found;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    found.sha = cpuHasShaExtensions() && __builtin_cpu_supports("sse4.1") &&
                __builtin_cpu_supports("ssse3");
    found.crc32 = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    found.sha512 = __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("ssse3");
    found.md5Lanes16 = __builtin_cpu_supports("avx512f");
    found.md5Lanes8 = __builtin_cpu_supports("avx2");
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
