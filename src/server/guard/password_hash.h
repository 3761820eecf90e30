// Password hashes as kestod stores them: a random salt, the iteration count and the
// PBKDF2-HMAC-SHA256 output. The count travels with each hash so that a database made
// with a low count (tests) and one made with the full count both verify correctly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::server {

// The count used unless the database says otherwise: slow enough that a stolen
// database does not give up its passwords cheaply.
inline constexpr std::uint32_t kDefaultPbkdf2Iterations = 600000;

struct PasswordHash {
    std::string salt;  // 16 random bytes
    std::uint32_t iterations = 0;
    std::string digest;  // 32 bytes
};

// Derives a hash with a fresh random salt.
support::Result<PasswordHash> hashPassword(std::string_view password, std::uint32_t iterations);

// Derives the candidate with the stored salt and count and compares in constant time.
bool verifyPassword(std::string_view password, const PasswordHash& stored);

// Spends the same work as a verification against a hash that does not exist, so that an
// unknown name takes as long to refuse as a wrong password.
void spendVerificationTime(std::string_view password, std::uint32_t iterations);

}  // namespace velquor::server
