// The accelerated block functions and the switches the units consult before using them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "digest/md5_lanes.h"

namespace velquor::digest::detail {

bool useShaInstructions();
bool useClmulCrc32();
bool useAvx512Sha512();

#if defined(__x86_64__) || defined(__i386__)
#define VELQUOR_DIGEST_X86 1
// Process `blocks` 64-byte blocks with the SHA extensions.
void sha1BlocksShaNi(std::uint32_t chain[5], const std::uint8_t* data, std::size_t blocks);
void sha256BlocksShaNi(std::uint32_t chain[8], const std::uint8_t* data, std::size_t blocks);
// SHA-384/512 blocks with the schedule in AVX-512VL registers.
void sha512BlocksAvx512(std::uint64_t chain[8], const std::uint8_t* data, std::size_t blocks);
// CRC register (not inverted) over data, count >= 64, by carry-less multiply folding.
std::uint32_t crc32Clmul(std::uint32_t reg, const std::uint8_t* data, std::size_t count);
// md5OfEach in registers of vectorLanes lanes, 16 (AVX-512F) or 8 (AVX2), which the processor
// must offer: what md5OfEach does with its own choice, open to tests of the width it would not
// choose here.
std::vector<Md5Digest> md5OfEachInLanes(std::span<const std::span<const std::byte>> messages,
                                        int vectorLanes);
#endif

}  // namespace velquor::digest::detail
