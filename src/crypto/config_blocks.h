// The encrypted configuration format over bytes in memory: raw AES-128 blocks, each on its
// own, the last one completed with zero bytes; on the way back the last full block is cut at
// its first zero byte. The file operations and the generator's encrypted copies both use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/aes.h"

namespace velquor::crypto {

inline constexpr std::size_t kAesBlockSize = 16;

// The room size bytes take once the last block is completed: whole blocks.
constexpr std::size_t completedSize(std::size_t size) {
    return (size + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;
}

// Encrypts size bytes at data in place, the last block completed with zero bytes; data must
// have room for completedSize(size). Returns that size.
std::size_t encryptCompleted(const CAes& aes, std::uint8_t* data, std::size_t size);

// Decrypts size bytes at data in place and returns how many bytes of plaintext are now at
// data: the last full block is cut at its first zero byte; a trailing partial block (never
// written by encryption) is completed with zero bytes and kept whole after the cut. data
// must have room for completedSize(size).
std::size_t decryptCompleted(const CAes& aes, std::uint8_t* data, std::size_t size);

// A whole plaintext encrypted into a new buffer.
std::vector<std::uint8_t> encryptToBlocks(const CAes& aes, std::span<const std::byte> plain);

}  // namespace velquor::crypto
