// Salted PBKDF2-HMAC-SHA256 hashing and constant-time verification; see password_hash.h.
#include "server/guard/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <limits>

namespace velquor::server {

namespace {

constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kDigestBytes = 32;

bool derive(std::string_view password, std::string_view salt, std::uint32_t iterations,
            std::string& out) {
    if (iterations == 0 ||
        iterations > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    out.assign(kDigestBytes, '\0');
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                             reinterpret_cast<const unsigned char*>(salt.data()),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), static_cast<int>(out.size()),
                             reinterpret_cast<unsigned char*>(out.data())) == 1;
}

}  // namespace

support::Result<PasswordHash> hashPassword(std::string_view password, std::uint32_t iterations) {
    PasswordHash hash;
    hash.iterations = iterations;
    hash.salt.assign(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(hash.salt.data()),
                   static_cast<int>(hash.salt.size())) != 1) {
        return support::makeError(support::ErrorCode::Internal,
                                  "cannot draw a random salt for a password hash");
    }
    if (!derive(password, hash.salt, iterations, hash.digest)) {
        return support::makeError(
            support::ErrorCode::InvalidInput,
            "cannot derive a password hash with " + std::to_string(iterations) + " iterations");
    }
    return hash;
}

bool verifyPassword(std::string_view password, const PasswordHash& stored) {
    std::string candidate;
    if (stored.digest.size() != kDigestBytes) return false;
    if (!derive(password, stored.salt, stored.iterations, candidate)) return false;
    return CRYPTO_memcmp(candidate.data(), stored.digest.data(), kDigestBytes) == 0;
}

void spendVerificationTime(std::string_view password, std::uint32_t iterations) {
    static const std::string kDummySalt(kSaltBytes, '\x5a');
    std::string ignored;
    (void)derive(password, kDummySalt, iterations, ignored);
}

}  // namespace velquor::server
