// Device file names; see file_name.h.
#include "mac/file_name.h"

#include <climits>

#include "support/translatable.h"

namespace velquor::mac {
namespace {

// The longest a MAC may be written: six groups of two joined by separators.
constexpr std::size_t kLongestWrittenMac = 17;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool hasControlCharacter(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

support::Error refused(const char* pattern, std::string_view text) {
    return support::makeError(support::ErrorCode::InvalidInput,
                              support::Phrase{pattern, {std::string(text)}});
}

}  // namespace

FileNamePattern::FileNamePattern()
    : m_text(kDefaultFileName), m_suffix(kDefaultFileName.substr(kMacField.size())) {}

support::Result<FileNamePattern> FileNamePattern::parse(std::string_view text) {
    text = trimWhiteSpace(text);
    const std::size_t at = text.find(kMacField);
    if (at == std::string_view::npos) {
        //: %1 is the file-name pattern as typed
        return refused(VELQUOR_TR_NOOP("core",
                                       "'%1' has no {mac}: a file name needs the MAC address "
                                       "once, as in {mac}.xml or cfg{mac}.cfg"),
                       text);
    }
    if (text.find(kMacField, at + kMacField.size()) != std::string_view::npos) {
        //: %1 is the file-name pattern as typed
        return refused(VELQUOR_TR_NOOP("core", "'%1' holds {mac} more than once"), text);
    }
    if (text.find_first_of("/\\") != std::string_view::npos) {
        //: %1 is the file-name pattern as typed
        return refused(VELQUOR_TR_NOOP("core",
                                       "'%1' holds a path separator: it names a file in the "
                                       "output folder, not a folder"),
                       text);
    }
    if (text.find("..") != std::string_view::npos) {
        //: %1 is the file-name pattern as typed
        return refused(VELQUOR_TR_NOOP("core", "'%1' holds \"..\""), text);
    }
    if (hasControlCharacter(text)) {
        //: %1 is the file-name pattern as typed
        return refused(VELQUOR_TR_NOOP("core", "'%1' holds a control character"), text);
    }
    if (text.front() == '.') {
        //: %1 is the file-name pattern as typed
        return refused(
            VELQUOR_TR_NOOP("core", "'%1' starts with a dot, which would hide the files"), text);
    }
    if (text.size() - kMacField.size() + kLongestWrittenMac > NAME_MAX) {
        //: %1 is the file-name pattern as typed
        return refused(VELQUOR_TR_NOOP("core", "'%1' is too long to name a file"), text);
    }
    FileNamePattern pattern;
    pattern.m_text = std::string(text);
    pattern.m_prefix = std::string(text.substr(0, at));
    pattern.m_suffix = std::string(text.substr(at + kMacField.size()));
    return pattern;
}

std::string FileNamePattern::name(std::string_view written) const {
    std::string name;
    name.reserve(m_prefix.size() + written.size() + m_suffix.size());
    name += m_prefix;
    name += written;
    name += m_suffix;
    return name;
}

std::string FileNamePattern::nameFor(std::string_view canonical, Form form) const {
    std::string digits(canonical);
    if (form == Form::Upper) {
        for (char& c : digits) c = c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return name(digits);
}

std::optional<std::string> FileNamePattern::deviceOf(std::string_view fileName) const {
    if (fileName.size() < m_prefix.size() + m_suffix.size() + 12) return std::nullopt;
    if (!sameLetters(fileName.substr(0, m_prefix.size()), m_prefix) ||
        !sameLetters(fileName.substr(fileName.size() - m_suffix.size()), m_suffix)) {
        return std::nullopt;
    }
    const std::string_view middle =
        fileName.substr(m_prefix.size(), fileName.size() - m_prefix.size() - m_suffix.size());
    // The name of a file is exact: a MAC read with white space around it is another name.
    if (trimWhiteSpace(middle).size() != middle.size()) return std::nullopt;
    const Reading reading(middle);
    if (!reading.ok()) return std::nullopt;
    return reading.address().canonical();
}

bool FileNamePattern::belongsTo(std::string_view fileName, std::string_view canonical) const {
    const auto device = deviceOf(fileName);
    return device && *device == canonical;
}

}  // namespace velquor::mac
