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

// A message length kept as two 32-bit words, low word first, as the MD4, MD5, SHA-1 and
// SHA-256 records hold it.
inline std::uint64_t wideCount(const std::uint32_t words[2]) {
    return (static_cast<std::uint64_t>(words[1]) << 32) | words[0];
}

// Counts count more message bytes in such a length (in bits with CountShift 3, in bytes with
// 0) and absorbs them; the bytes already waiting follow from the length before the add.
template <std::size_t BlockSize, unsigned CountShift, typename Compress>
inline void absorbCounted(std::uint32_t length[2], std::uint8_t* buffer, const void* data,
                          std::uint32_t count, Compress&& compress) {
    const std::uint64_t before = wideCount(length);
    const std::uint64_t after = before + (std::uint64_t{count} << CountShift);
    length[0] = static_cast<std::uint32_t>(after);
    length[1] = static_cast<std::uint32_t>(after >> 32);
    absorb<BlockSize>(buffer, (before >> CountShift) % BlockSize,
                      static_cast<const std::uint8_t*>(data), count, compress);
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

// Ends a message: 0x80, zeros up to the length field, then the field (already in the
// algorithm's byte order), all through the record's own add.
template <std::size_t BlockSize, std::size_t LengthSize, typename Add>
inline void appendPadding(std::size_t used, const std::uint8_t (&lengthField)[LengthSize],
                          Add&& add) {
    add(kPadding, static_cast<std::uint32_t>(paddingLength(used, BlockSize, LengthSize)));
    add(lengthField, static_cast<std::uint32_t>(LengthSize));
}

}  // namespace velquor::digest::detail
