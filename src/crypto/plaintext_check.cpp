// Telling text from the noise a wrong key decrypts to; see plaintext_check.h.
#include "crypto/plaintext_check.h"

namespace velquor::crypto {

namespace {

bool isControl(unsigned char c) {
    const bool whiteSpace = c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    return (c < 0x20 && !whiteSpace) || c == 0x7F;
}

// The length of the UTF-8 sequence that starts at text[i], or 0 when none does. A sequence cut
// by the end of the sample counts as whole: the sample ends wherever it ends.
std::size_t utf8SequenceAt(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead >= 0xF0 && lead < 0xF5   ? 4
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                                                             : 0;
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceAt(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace

bool looksLikeText(std::string_view start) {
    const std::string_view sample = start.substr(0, kTextSampleBytes);
    std::size_t controls = 0;
    std::size_t high = 0;
    for (char c : sample) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) return false;
        controls += isControl(byte) ? 1 : 0;
        high += byte >= 0x80 ? 1 : 0;
    }
    // Text from an editor has no control characters; a stray one in a long file is let pass.
    if (controls > sample.size() / 64) return false;
    // Noise has its high bit set in half of its bytes and is never valid UTF-8; text in an
    // 8-bit code page uses such bytes for a few accented letters only.
    return high * 4 <= sample.size() || isUtf8(sample);
}

}  // namespace velquor::crypto
