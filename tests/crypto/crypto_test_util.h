// Helpers shared by the crypto tests: random bytes, hexadecimal, the openssl peer, and a
// block-by-block model of the file format written straight on CAes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>

#include "crypto/aes.h"

namespace velquor::crypto::test {

// Random bytes; with noZeros, every byte is 1..255 so a text's end is not mistaken for one.
std::string randomBytes(std::size_t size, std::mt19937& rng, bool noZeros = false);
std::string toHex(std::string_view bytes);
std::string fromHex(std::string_view hex);

// The 16 key bytes CAes uses for a key text: its first 16 bytes, completed with zeros.
std::string aesKeyOf(std::string_view keyText);
// Runs `openssl enc -aes-128-ecb -nopad` (decrypting when decrypt is set); fails the test on
// any error.
void opensslEcb(bool decrypt, std::string_view keyText, const std::filesystem::path& in,
                const std::filesystem::path& out);

// The file format as a plain loop over CAes, one block at a time.
std::string modelEncrypt(std::string_view plain, std::string_view keyText);
std::string modelDecrypt(std::string_view cipher, std::string_view keyText);

}  // namespace velquor::crypto::test
