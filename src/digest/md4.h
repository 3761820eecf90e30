// MD4 on 64-byte blocks. Finish clears the whole record.
#pragma once

#include <cstdint>

namespace velquor::digest {

struct Md4State {
    std::uint32_t chain[4];
    std::uint32_t bitCount[2];  // low word first
    std::uint8_t buffer[64];

    void start();
    void add(const void* data, std::uint32_t count);
    // Writes 16 bytes, then clears the record to zeros.
    void finish(std::uint8_t out[16]);

    static constexpr std::uint32_t kDigestSize = 16;
};

}  // namespace velquor::digest
