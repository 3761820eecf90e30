// Helpers shared by the crypto tests; see crypto_test_util.h.
#include "crypto_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

#include "temp_dir.h"

namespace velquor::crypto::test {

std::string randomBytes(std::size_t size, std::mt19937& rng, bool noZeros) {
    std::uniform_int_distribution<int> byte(noZeros ? 1 : 0, 255);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(byte(rng));
    return bytes;
}

std::string toHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::string fromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

std::string aesKeyOf(std::string_view keyText) {
    std::string key(keyText.substr(0, 16));
    key.resize(16, '\0');
    return key;
}

void opensslEcb(bool decrypt, std::string_view keyText, const std::filesystem::path& in,
                const std::filesystem::path& out) {
    const std::string command = std::string("openssl enc ") + (decrypt ? "-d " : "-e ") +
                                "-aes-128-ecb -nopad -K " + toHex(aesKeyOf(keyText)) + " -in " +
                                testing::shellQuote(in.string()) + " -out " +
                                testing::shellQuote(out.string()) + " 2>&1";
    int status = -1;
    const std::string output = testing::runCommand(command, &status);
    ASSERT_EQ(status, 0) << command << "\n" << output;
}

namespace {

CAes keyed(std::string_view keyText) {
    CAes aes;
    aes.Init(static_cast<int>(keyText.size()),
             reinterpret_cast<const unsigned char*>(keyText.data()));
    return aes;
}

}  // namespace

std::string modelEncrypt(std::string_view plain, std::string_view keyText) {
    CAes aes = keyed(keyText);
    std::string cipher;
    for (std::size_t at = 0; at < plain.size(); at += 16) {
        unsigned char in[16] = {};
        unsigned char out[16] = {};
        std::memcpy(in, plain.data() + at, std::min<std::size_t>(16, plain.size() - at));
        aes.Cipher(in, out);
        cipher.append(reinterpret_cast<const char*>(out), 16);
    }
    return cipher;
}

std::string modelDecrypt(std::string_view cipher, std::string_view keyText) {
    CAes aes = keyed(keyText);
    const std::size_t fullBlocks = cipher.size() / 16;
    std::string plain;
    for (std::size_t i = 0; i * 16 < cipher.size(); ++i) {
        unsigned char in[16] = {};
        unsigned char out[16] = {};
        std::memcpy(in, cipher.data() + 16 * i, std::min<std::size_t>(16, cipher.size() - 16 * i));
        aes.InvCipher(in, out);
        std::size_t keep = 16;
        if (i + 1 == fullBlocks) {
            keep = 0;
            while (keep < 16 && out[keep] != 0) ++keep;
        }
        plain.append(reinterpret_cast<const char*>(out), keep);
    }
    return plain;
}

}  // namespace velquor::crypto::test
