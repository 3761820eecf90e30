// SHA-256, SHA-384 and SHA-512 in one record; the digest length picks the variant.
#pragma once

#include <cstdint>

namespace velquor::digest {

struct Sha256Part {
    std::uint32_t byteCount[2];  // low word first
    std::uint32_t chain[8];
    std::uint32_t block[16];  // in message byte order
};

struct Sha512Part {
    std::uint64_t byteCount[2];  // 128-bit, low word first
    std::uint64_t chain[8];
    std::uint64_t block[16];  // in message byte order
};

struct Sha2State {
    union {
        Sha256Part s256;
        Sha512Part s512;
    };
    std::uint32_t digestLength;  // 32, 48 or 64

    // 256 or 32: SHA-256; 384 or 48: SHA-384; 512 or 64: SHA-512. Returns 0, or 1 for any other
    // size, and then leaves the record as it was.
    int start(int size);
    void add(const void* data, std::uint32_t count);
    // Writes digestLength bytes; the record is not cleared (start again before reuse).
    void finish(std::uint8_t* out);
};

}  // namespace velquor::digest
