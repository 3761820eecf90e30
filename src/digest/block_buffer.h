// The buffering shared by the block digests: bytes top up a partial block, whole blocks of
// the input go straight to the compression function, and the rest waits in the buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velquor::digest::detail {

// used: bytes already waiting in buffer (< BlockSize). compress(data, blockCount).
template <std::size_t BlockSize, typename Compress>
inline void absorb(std::uint8_t* buffer, std::size_t used, const std::uint8_t* bytes,
                   std::size_t count, Compress&& compress) {
    if (count == 0) return;
    if (used > 0) {
        const std::size_t take = std::min(BlockSize - used, count);
        std::memcpy(buffer + used, bytes, take);
        used += take;
        bytes += take;
        count -= take;
        if (used < BlockSize) return;
        compress(buffer, std::size_t{1});
    }
    if (count >= BlockSize) {
        compress(bytes, count / BlockSize);
        bytes += count - count % BlockSize;
        count %= BlockSize;
    }
    if (count > 0) std::memcpy(buffer, bytes, count);
}

// The padding that fills the last block up to the length field: 0x80, then zeros.
inline constexpr std::uint8_t kPadding[128] = {0x80};

// How many padding bytes make `used` reach the length field in a block of blockSize bytes
// with a length field of lengthSize bytes.
constexpr std::size_t paddingLength(std::size_t used, std::size_t blockSize,
                                    std::size_t lengthSize) {
    const std::size_t room = blockSize - lengthSize;
    return used < room ? room - used : blockSize + room - used;
}

}  // namespace velquor::digest::detail
