// SHA-1 on 64-byte blocks; the processor's SHA instructions are used where present.
#pragma once

#include <cstdint>

namespace velquor::digest {

struct Sha1State {
    std::uint32_t byteCount[2];  // low word first
    std::uint32_t chain[5];
    std::uint32_t block[16];  // the block under construction, in message byte order

    void start();
    void add(const void* data, std::uint32_t count);
    // Writes 20 bytes; the record is not cleared (start again before reuse).
    void finish(std::uint8_t out[20]);

    static constexpr std::uint32_t kDigestSize = 20;
};

}  // namespace velquor::digest
