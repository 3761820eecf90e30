// CDigestEngine: picks a digest algorithm by number, feeds it a held text or a file, and
// dresses the digest bytes as hexadecimal text in one of four formats.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "digest/gost94.h"
#include "support/progress.h"
#include "support/result.h"

namespace velquor::digest {

// Algorithm numbers.
inline constexpr std::int32_t kAlgorithmCrc32 = 1;
inline constexpr std::int32_t kAlgorithmGost = 2;
inline constexpr std::int32_t kAlgorithmMd2 = 3;
inline constexpr std::int32_t kAlgorithmMd4 = 4;
inline constexpr std::int32_t kAlgorithmMd5 = 5;
inline constexpr std::int32_t kAlgorithmSha1 = 6;
inline constexpr std::int32_t kAlgorithmSha2 = 7;

// Input kinds.
inline constexpr std::int32_t kInputText = 1;
inline constexpr std::int32_t kInputFile = 2;

// Output formats.
inline constexpr std::int32_t kFormatPlain = 1;   // "d41d8c..."
inline constexpr std::int32_t kFormatSpaced = 2;  // "d4 1d 8c ... 7e " (blank after every pair)
inline constexpr std::int32_t kFormatUpper = 3;   // "D41D8C..."
inline constexpr std::int32_t kFormatSpacedUpper = 4;  // "D4 1D 8C ... 7E "

// Dresses digest bytes as text: two lower-case hexadecimal digits per byte, then the format.
std::string formatDigest(std::string_view digestBytes, std::int32_t outputFormat);
// Applies an output format to an already written hexadecimal text.
std::string applyOutputFormat(std::string_view hexText, std::int32_t outputFormat);

class CDigestEngine {
public:
    CDigestEngine();

    // Stored unchanged; a number outside 1..7 makes Compute return an empty text.
    void SetAlgorithm(std::int32_t algorithm);
    // 1 or 2; any other value stores 1.
    void SetInputKind(std::int32_t kind);
    // 1..4; any other value stores 1.
    void SetOutputFormat(std::int32_t format);
    // A null path stores an empty one.
    void SetFilePath(const char* path);
    void setInputText(std::string text);
    // 256, 384 or 512 (32, 48, 64 act the same); any other size makes SHA-2 give an empty text.
    void setSha2Size(std::int32_t bits);
    void setGostParameterSet(GostParameterSet set);

    std::int32_t algorithm() const { return m_algorithm; }
    std::int32_t inputKind() const { return m_inputKind; }
    std::int32_t outputFormat() const { return m_outputFormat; }
    std::int32_t sha2Size() const { return m_sha2Size; }
    const std::string& filePath() const { return m_filePath; }
    const std::string& inputText() const { return m_inputText; }
    GostParameterSet gostParameterSet() const { return m_gostParameterSet; }

    // The digest text for the current settings; empty when no digest could be made (unknown
    // algorithm, unusable SHA-2 size, empty path, a file that cannot be opened or read).
    std::string Compute();

    // The digest text of the file at path with the current algorithm, format, SHA-2 size and
    // GOST parameters, reading in large chunks and reporting bytes done between them. Safe to
    // run on a worker thread as long as the settings are not changed meanwhile. Errors:
    // Cancelled when stop is requested, NotFound/Io naming the path and the reason,
    // InvalidInput for an unknown algorithm or SHA-2 size.
    support::Result<std::string> computeFile(const std::string& path,
                                             support::ProgressSink& progress,
                                             std::stop_token stop) const;

    // The same for a text held in memory (the input text is left alone).
    support::Result<std::string> computeText(std::string_view text) const;

private:
    std::string m_inputText;
    std::int32_t m_algorithm = kAlgorithmSha1;
    std::string m_filePath;
    std::int32_t m_outputFormat = kFormatPlain;  // before the first SetOutputFormat
    std::int32_t m_inputKind = kInputText;
    std::int32_t m_sha2Size = 256;
    std::string m_workText;
    GostParameterSet m_gostParameterSet = GostParameterSet::Test;
};

}  // namespace velquor::digest
