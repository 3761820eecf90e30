// The GOST R 34.11-94 hash on 32-byte blocks, over GOST 28147-89 encryption with
// table-driven substitution. The substitution boxes are a choice: the standard's own test
// parameter set (the default), or the CryptoPro set.
#pragma once

#include <cstdint>

namespace velquor::digest {

enum class GostParameterSet { Test, CryptoPro };

struct GostHashState {
    std::uint32_t checksum[8];  // 256-bit sum of the blocks, least significant word first
    std::uint32_t hash[8];
    std::uint32_t length[8];  // [0], [1]: 64-bit count of message bits, low word first
    std::uint8_t partial[32];
    std::uint32_t partialCount;  // 0..32
    GostParameterSet parameterSet;

    // Clears the record: the initial hash value is zero.
    void start(GostParameterSet set = GostParameterSet::Test);
    void add(const void* data, std::uint32_t count);
    // Writes 32 bytes; the record is not cleared (start again before reuse).
    void finish(std::uint8_t out[32]);

    static constexpr std::uint32_t kDigestSize = 32;
};

}  // namespace velquor::digest
