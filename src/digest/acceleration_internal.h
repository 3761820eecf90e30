// The accelerated block functions and the switches the units consult before using them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velquor::digest::detail {

bool useShaInstructions();
bool useClmulCrc32();
bool useAvx512Sha512();
bool useMd5Lanes();
bool useMd5LanesAvx2();

#if defined(__x86_64__) || defined(__i386__)
#define VELQUOR_DIGEST_X86 1
// Process `blocks` 64-byte blocks with the SHA extensions.
void sha1BlocksShaNi(std::uint32_t chain[5], const std::uint8_t* data, std::size_t blocks);
void sha256BlocksShaNi(std::uint32_t chain[8], const std::uint8_t* data, std::size_t blocks);
// SHA-384/512 blocks with the schedule in AVX-512VL registers.
void sha512BlocksAvx512(std::uint64_t chain[8], const std::uint8_t* data, std::size_t blocks);
// The MD5 digests of count (1 to 8) whole messages, side by side in AVX-512VL or AVX2
// registers.
void md5EightLanesAvx512(const std::span<const std::uint8_t>* messages, std::size_t count,
                         std::uint8_t (*digests)[16]);
void md5EightLanesAvx2(const std::span<const std::uint8_t>* messages, std::size_t count,
                       std::uint8_t (*digests)[16]);
// CRC register (not inverted) over data, count >= 64, by carry-less multiply folding.
std::uint32_t crc32Clmul(std::uint32_t reg, const std::uint8_t* data, std::size_t count);
#endif

}  // namespace velquor::digest::detail
