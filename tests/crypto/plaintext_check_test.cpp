// looksLikeText: configuration files in the encodings phones use pass, the noise a wrong key
// decrypts to fails.
#include "crypto/plaintext_check.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace velquor::crypto {
namespace {

std::string noise(std::size_t size, std::mt19937& rng) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
    return bytes;
}

TEST(LooksLikeText, ConfigurationFilesInTheirEncodingsPass) {
    const std::string texts[] = {
        "",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config>\r\n\t<a/>\r\n</config>\r\n",
        "<DisplayName>\xe5\x89\x8d\xe5\x8f\xb0</DisplayName>",  // UTF-8 Chinese
        "<DisplayName>R\xe9"
        "ception</DisplayName><Proxy>sip.example</Proxy>",  // Latin-1
        "\xef\xbb\xbf<config/>",                            // BOM
        "<DisplayName>\xe5\x89",                        // a sequence cut by the end of the sample
        std::string(5000, 'x') + std::string(1, '\0'),  // a NUL past the sample is not looked at
    };
    for (const std::string& text : texts) EXPECT_TRUE(looksLikeText(text)) << text;
}

TEST(LooksLikeText, NulBytesControlCharactersAndNoiseFail) {
    EXPECT_FALSE(looksLikeText(std::string("<config>\0</config>", 18)));
    EXPECT_FALSE(looksLikeText("<config>\x01\x02</config>"));
    EXPECT_FALSE(looksLikeText("\x1b\x7f"));
    // Latin-1 bytes everywhere are no text in any code page a configuration uses.
    EXPECT_FALSE(looksLikeText("\xe9\xe8\xe0\xf9\xe9\xe8\xe0\xf9"));

    std::mt19937 rng(7);
    int passed = 0;
    for (int i = 0; i < 1000; ++i) passed += looksLikeText(noise(kTextSampleBytes, rng)) ? 1 : 0;
    EXPECT_EQ(passed, 0);
    // A single block gives little to judge by; most noise must still be caught.
    passed = 0;
    for (int i = 0; i < 1000; ++i) passed += looksLikeText(noise(16, rng)) ? 1 : 0;
    EXPECT_LT(passed, 30);
}

}  // namespace
}  // namespace velquor::crypto
