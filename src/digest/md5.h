// MD5 on 64-byte blocks, Md5File, which digests a whole file into a state, and md5Each, the
// digests of many whole messages at once.
#pragma once

#include <cstdint>
#include <span>

namespace velquor::digest {

struct Md5State {
    std::uint32_t bitCount[2];  // low word first
    std::uint32_t chain[4];
    std::uint8_t buffer[64];
    std::uint8_t digest[16];  // filled by finish

    void start();
    void add(const void* data, std::uint32_t count);
    // Stores the digest in `digest`; the record is not cleared (start again before reuse).
    void finish();

    static constexpr std::uint32_t kDigestSize = 16;
};

// Starts the state, digests the whole file into it and returns the number of bytes read;
// 0 when the file cannot be opened or a read fails (the state is then untouched: a digest of
// part of a file is never passed off as the file's). A file of zero bytes also returns 0 but
// leaves the digest of the empty message in the state.
std::uint64_t Md5File(const char* path, Md5State& state);

// The digest of each whole message, digests[i] of messages[i]: where the processor can, eight
// messages side by side (a message takes a single lane's share of the work, most of all for
// many short ones), else one after another.
void md5Each(std::span<const std::span<const std::uint8_t>> messages,
             std::uint8_t (*digests)[Md5State::kDigestSize]);

}  // namespace velquor::digest
