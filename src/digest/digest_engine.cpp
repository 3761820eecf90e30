// CDigestEngine: settings, the text and file routes, and the four output formats.
#include "digest/digest_engine.h"

#include <cctype>

#include "digest/accumulator.h"
#include "digest/file_reader.h"
#include "support/hex.h"

namespace velquor::digest {

namespace {

bool isSpaced(std::int32_t format) {
    return format == kFormatSpaced || format == kFormatSpacedUpper;
}
bool isUpper(std::int32_t format) {
    return format == kFormatUpper || format == kFormatSpacedUpper;
}

support::Error noAlgorithm(std::int32_t algorithm, std::int32_t sha2Size) {
    if (algorithm == kAlgorithmSha2) {
        return support::makeError(
            support::ErrorCode::InvalidInput,
            "unsupported SHA-2 size " + std::to_string(sha2Size) + " (use 256, 384 or 512)");
    }
    return support::makeError(support::ErrorCode::InvalidInput,
                              "unknown digest algorithm " + std::to_string(algorithm));
}

}  // namespace

std::string applyOutputFormat(std::string_view hexText, std::int32_t outputFormat) {
    std::string text;
    if (isSpaced(outputFormat)) {
        // A blank follows every pair, the last one too.
        text.reserve(hexText.size() + hexText.size() / 2 + 1);
        for (std::size_t i = 0; i < hexText.size(); ++i) {
            text.push_back(hexText[i]);
            if (i % 2 == 1) text.push_back(' ');
        }
    } else {
        text.assign(hexText);
    }
    if (isUpper(outputFormat)) {
        for (char& c : text) {
            if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::string formatDigest(std::string_view digestBytes, std::int32_t outputFormat) {
    return applyOutputFormat(support::hexEncode(digestBytes), outputFormat);
}

CDigestEngine::CDigestEngine() = default;

void CDigestEngine::SetAlgorithm(std::int32_t algorithm) {
    m_algorithm = algorithm;
}

void CDigestEngine::SetInputKind(std::int32_t kind) {
    m_inputKind = (kind == kInputText || kind == kInputFile) ? kind : kInputText;
}

void CDigestEngine::SetOutputFormat(std::int32_t format) {
    m_outputFormat =
        (format >= kFormatPlain && format <= kFormatSpacedUpper) ? format : kFormatPlain;
}

void CDigestEngine::SetFilePath(const char* path) {
    m_filePath = path == nullptr ? "" : path;
}

void CDigestEngine::setInputText(std::string text) {
    m_inputText = std::move(text);
}

void CDigestEngine::setSha2Size(std::int32_t bits) {
    m_sha2Size = bits;
}

void CDigestEngine::setGostParameterSet(GostParameterSet set) {
    m_gostParameterSet = set;
}

std::string CDigestEngine::Compute() {
    m_workText.clear();
    if (m_inputKind == kInputFile) {
        // An empty path names no file: nothing is opened.
        if (m_filePath.empty()) return {};
        support::NullProgress quiet;
        auto text = computeFile(m_filePath, quiet, std::stop_token{});
        if (text) m_workText = std::move(*text);
    } else {
        auto text = computeText(m_inputText);
        if (text) m_workText = std::move(*text);
    }
    return m_workText;
}

support::Result<std::string> CDigestEngine::computeText(std::string_view text) const {
    auto accumulator = makeAccumulator(m_algorithm, m_sha2Size, m_gostParameterSet);
    if (!accumulator) return noAlgorithm(m_algorithm, m_sha2Size);
    if (!text.empty()) accumulator->add(text.data(), text.size());
    return formatDigest(accumulator->finish(), m_outputFormat);
}

support::Result<std::string> CDigestEngine::computeFile(const std::string& path,
                                                        support::ProgressSink& progress,
                                                        std::stop_token stop) const {
    auto accumulator = makeAccumulator(m_algorithm, m_sha2Size, m_gostParameterSet);
    if (!accumulator) return noAlgorithm(m_algorithm, m_sha2Size);
    auto read = detail::streamFile(
        path,
        [&accumulator](const std::uint8_t* data, std::size_t count) {
            accumulator->add(data, count);
        },
        progress, std::move(stop));
    if (!read) return read.error();
    return formatDigest(accumulator->finish(), m_outputFormat);
}

}  // namespace velquor::digest
