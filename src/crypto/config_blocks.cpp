// The zero-completed block format; see config_blocks.h.
#include "crypto/config_blocks.h"

#include <cstring>

namespace velquor::crypto {

namespace {

// The bytes of a decrypted block before its first zero byte (16 when it has none).
std::size_t lengthBeforeZero(const std::uint8_t* block) {
    const void* zero = std::memchr(block, 0, kAesBlockSize);
    return zero == nullptr
               ? kAesBlockSize
               : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - block);
}

// Completes a trailing partial block with zeros; returns the number of whole blocks.
std::size_t completeLastBlock(std::uint8_t* data, std::size_t size) {
    const std::size_t completed = completedSize(size);
    if (completed > size) std::memset(data + size, 0, completed - size);
    return completed / kAesBlockSize;
}

}  // namespace

std::size_t encryptCompleted(const CAes& aes, std::uint8_t* data, std::size_t size) {
    const std::size_t blocks = completeLastBlock(data, size);
    encryptBlocks(aes, data, data, blocks);
    return blocks * kAesBlockSize;
}

std::size_t decryptCompleted(const CAes& aes, std::uint8_t* data, std::size_t size) {
    const std::size_t fullBlocks = size / kAesBlockSize;
    const std::size_t blocks = completeLastBlock(data, size);
    decryptBlocks(aes, data, data, blocks);
    if (fullBlocks == 0) return blocks * kAesBlockSize;
    // The cut applies even when a partial block follows, which then moves up to close the gap.
    const std::size_t lastFull = (fullBlocks - 1) * kAesBlockSize;
    const std::size_t kept = lastFull + lengthBeforeZero(data + lastFull);
    if (blocks == fullBlocks) return kept;
    std::memmove(data + kept, data + fullBlocks * kAesBlockSize, kAesBlockSize);
    return kept + kAesBlockSize;
}

std::vector<std::uint8_t> encryptToBlocks(const CAes& aes, std::span<const std::byte> plain) {
    std::vector<std::uint8_t> blocks(completedSize(plain.size()));
    if (!plain.empty()) std::memcpy(blocks.data(), plain.data(), plain.size());
    encryptCompleted(aes, blocks.data(), plain.size());
    return blocks;
}

}  // namespace velquor::crypto
