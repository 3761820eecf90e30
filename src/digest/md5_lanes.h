// MD5 of many independent messages at once. One message is a single chain of dependent steps
// that no processor can shorten; several messages are not: each 32-bit lane of a vector register
// carries one message through the same steps, 16 to a register with AVX-512, 8 with AVX2, and
// up to four registers' chains go step by step together. Without either (or with acceleration
// forbidden) the messages are digested one after another by Md5State, with the same results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velquor::digest {

using Md5Digest = std::array<std::uint8_t, 16>;

// The MD5 digest of each message, in the order given. Messages may have any lengths (zero
// included) and any number may be given; a message's digest is exactly Md5State's.
std::vector<Md5Digest> md5OfEach(std::span<const std::span<const std::byte>> messages);

// How many messages md5OfEach carries side by side at most on this processor now: 64 (four
// AVX-512 registers of 16 lanes), 32 (four AVX2 registers of 8) or 1.
int md5LaneCount();

}  // namespace velquor::digest
