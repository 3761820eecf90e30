// Sum-file lines and their verification; see sum_file.h.
#include "cli/sum_file.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "support/input_file.h"
#include "support/wording.h"

namespace velquor::cli {

namespace {

using digest::CDigestEngine;

constexpr AlgorithmChoice kAlgorithms[] = {
    {"crc32", digest::kAlgorithmCrc32, 256, digest::GostParameterSet::Test, 4},
    {"gost94", digest::kAlgorithmGost, 256, digest::GostParameterSet::Test, 32},
    {"gost94-cryptopro", digest::kAlgorithmGost, 256, digest::GostParameterSet::CryptoPro, 32},
    {"md2", digest::kAlgorithmMd2, 256, digest::GostParameterSet::Test, 16},
    {"md4", digest::kAlgorithmMd4, 256, digest::GostParameterSet::Test, 16},
    {"md5", digest::kAlgorithmMd5, 256, digest::GostParameterSet::Test, 16},
    {"sha1", digest::kAlgorithmSha1, 256, digest::GostParameterSet::Test, 20},
    {"sha256", digest::kAlgorithmSha2, 256, digest::GostParameterSet::Test, 32},
    {"sha384", digest::kAlgorithmSha2, 384, digest::GostParameterSet::Test, 48},
    {"sha512", digest::kAlgorithmSha2, 512, digest::GostParameterSet::Test, 64},
};

// An untagged line says its algorithm only by its length; where lengths are shared, the one
// a sum tool of the system writes wins (md5sum, sha256sum).
const AlgorithmChoice* algorithmForDigestBytes(std::size_t bytes) {
    for (const char* name : {"crc32", "md5", "sha1", "sha256", "sha384", "sha512"}) {
        const AlgorithmChoice* choice = findAlgorithm(name);
        if (choice->digestBytes == bytes) return choice;
    }
    return nullptr;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The inverse of showName; nullopt for a dangling or unknown escape.
std::optional<std::string> unescapeName(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

struct CheckLine {
    const AlgorithmChoice* algorithm;
    std::string expected;  // lower-case hexadecimal
    std::string name;
    // The algorithm was taken from the digest's length alone: another of that length may be
    // the one the line was written with.
    bool byLength = false;
};

// The algorithms whose digests are as long as the given one's, that one first.
std::vector<const AlgorithmChoice*> sameLengthAlgorithms(const AlgorithmChoice& first) {
    std::vector<const AlgorithmChoice*> all{&first};
    for (const auto& choice : kAlgorithms) {
        if (&choice != &first && choice.digestBytes == first.digestBytes) all.push_back(&choice);
    }
    return all;
}

// "md5, md4 or md2".
std::string alternatives(const std::vector<const AlgorithmChoice*>& algorithms) {
    std::string text;
    for (std::size_t i = 0; i < algorithms.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == algorithms.size() ? " or " : ", ");
        text += algorithms[i]->name;
    }
    return text;
}

std::optional<std::string> lowerHex(std::string_view text) {
    std::string lower;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// How the plain lines of the sum files of one check part digest and name. The sum tools
// write "DIGEST  NAME" or "DIGEST *NAME" (a blank and the binary mark); some others write
// "DIGEST NAME" with one blank. As md5sum has it, the first such line decides for every line
// after it, in every sum file of the check: once lines with one blank were seen, a name may
// start with a blank or a star; once lines with two were seen, a line with one is not
// properly formatted.
enum class NameSeparator { Undecided, BlankAndMark, OneBlank };

// A plain line; the digest and name are parted by a space or a tab.
std::optional<CheckLine> parsePlainLine(std::string_view body, const AlgorithmChoice* fixed,
                                        NameSeparator& separator) {
    const std::size_t digits = body.find_first_of(" \t");
    if (digits == std::string_view::npos || digits % 2 != 0 || body.size() < digits + 2) {
        return std::nullopt;
    }
    const AlgorithmChoice* algorithm = fixed ? fixed : algorithmForDigestBytes(digits / 2);
    if (algorithm == nullptr || algorithm->digestBytes * 2 != digits) return std::nullopt;
    auto expected = lowerHex(body.substr(0, digits));
    if (!expected) return std::nullopt;
    std::size_t name = digits + 1;
    const bool oneBlank = body.size() == name + 1 || (body[name] != ' ' && body[name] != '*');
    if (oneBlank) {
        if (separator == NameSeparator::BlankAndMark) return std::nullopt;
        separator = NameSeparator::OneBlank;
    } else if (separator != NameSeparator::OneBlank) {
        separator = NameSeparator::BlankAndMark;
        ++name;
    }
    return CheckLine{algorithm, std::move(*expected), std::string(body.substr(name)),
                     fixed == nullptr};
}

// "TAG (NAME) = DIGEST", the tagged form the sum tools write with --tag.
std::optional<CheckLine> parseTaggedLine(std::string_view body, const AlgorithmChoice* fixed) {
    const std::size_t open = body.find(" (");
    const std::size_t close = body.rfind(") = ");
    if (open == 0 || open == std::string_view::npos || close == std::string_view::npos ||
        close < open + 2) {
        return std::nullopt;
    }
    const AlgorithmChoice* algorithm = findAlgorithm(body.substr(0, open));
    if (algorithm == nullptr || (fixed != nullptr && algorithm != fixed)) return std::nullopt;
    const std::string_view digits = body.substr(close + 4);
    if (digits.size() != algorithm->digestBytes * 2) return std::nullopt;
    auto expected = lowerHex(digits);
    if (!expected) return std::nullopt;
    return CheckLine{algorithm, std::move(*expected),
                     std::string(body.substr(open + 2, close - open - 2)), false};
}

// A line of a sum file, optionally led by a backslash that marks escapes in the name.
std::optional<CheckLine> parseCheckLine(std::string_view line, const AlgorithmChoice* fixed,
                                        NameSeparator& separator) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.remove_prefix(1);
    auto parsed = parsePlainLine(line, fixed, separator);
    if (!parsed) parsed = parseTaggedLine(line, fixed);
    if (!parsed || parsed->name.empty()) return std::nullopt;
    if (escaped) {
        auto unescaped = unescapeName(parsed->name);
        if (!unescaped) return std::nullopt;
        parsed->name = std::move(*unescaped);
    }
    return parsed;
}

// The lines of a sum file, read in chunks so that standard input gives way to Ctrl-C and a
// file without line ends is refused after kMaxSumLineBytes, not after it was read whole.
class SumFileLines {
public:
    explicit SumFileLines(support::InputFile file) : m_file(std::move(file)) {}

    // The next line without its line end; nullopt at the end of the file.
    support::Result<std::optional<std::string>> next() {
        for (;;) {
            if (const std::size_t end = m_pending.find('\n', m_scanned); end != std::string::npos) {
                std::string line = m_pending.substr(m_start, end - m_start);
                m_start = m_scanned = end + 1;
                return std::optional<std::string>(std::move(line));
            }
            m_scanned = m_pending.size();
            if (m_pending.size() - m_start > kMaxSumLineBytes) {
                return support::makeError(support::ErrorCode::InvalidInput,
                                          "line " + std::to_string(m_lineNumber + 1) +
                                              " is longer than any checksum line: not a sum file");
            }
            if (m_ended) {
                if (m_start == m_pending.size()) return std::optional<std::string>();
                std::string last = m_pending.substr(m_start);
                m_start = m_scanned = m_pending.size();
                return std::optional<std::string>(std::move(last));
            }
            // Only the start of a line is kept from one read to the next.
            m_pending.erase(0, m_start);
            m_scanned -= m_start;
            m_start = 0;
            if (auto filled = fill(); !filled) return filled.error();
        }
    }
    void countLine() { ++m_lineNumber; }
    std::size_t lineNumber() const { return m_lineNumber; }

private:
    support::Status fill() {
        char buffer[16 * 1024];
        const std::stop_token stop = interruptToken();
        auto got = m_file.readFully(buffer, sizeof buffer, stop);
        if (stop.stop_requested()) {
            return support::makeError(support::ErrorCode::Cancelled, "interrupted");
        }
        if (!got) return got.error();
        m_pending.append(buffer, *got);
        m_ended = *got < sizeof buffer;
        return {};
    }

    support::InputFile m_file;
    std::string m_pending;
    std::size_t m_start = 0;    // where the next line starts in m_pending
    std::size_t m_scanned = 0;  // m_pending holds no line end before this
    std::size_t m_lineNumber = 0;
    bool m_ended = false;
};

struct CheckCounts {
    std::size_t properlyFormatted = 0;
    std::size_t improperlyFormatted = 0;
    std::size_t mismatched = 0;
    std::size_t unreadable = 0;
    std::size_t matched = 0;
    // Lines whose digest matched as another algorithm of its length than the one its length
    // names first, by that algorithm.
    std::map<const AlgorithmChoice*, std::size_t> matchedAsOther;
};

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

class SumChecker {
public:
    explicit SumChecker(const CheckOptions& options) : m_options(options) {}

    // 0, 1 or 130 for one sum file.
    int check(const std::string& sumFile) {
        auto file = sumFile == "-" ? support::InputFile::standardInput()
                                   : support::InputFile::open(sumFile);
        if (!file) return failWith(file.error());
        SumFileLines lines(std::move(*file));
        CheckCounts counts;
        for (;;) {
            auto line = lines.next();
            if (!line) {
                std::fflush(stdout);
                return failWith(
                    support::makeError(line.error().code, sumFile + ": " + line.error().message));
            }
            if (!*line) break;
            lines.countLine();
            if ((*line)->starts_with('#')) continue;
            if (const int stopped = checkLine(**line, sumFile, lines.lineNumber(), counts);
                stopped != kExitOk) {
                return stopped;
            }
        }
        std::fflush(stdout);
        return verdict(sumFile, counts);
    }

private:
    int checkLine(const std::string& line, const std::string& sumFile, std::size_t lineNumber,
                  CheckCounts& counts) {
        const auto entry = parseCheckLine(line, m_options.algorithm, m_separator);
        if (!entry) {
            ++counts.improperlyFormatted;
            if (m_options.warn) {
                std::fflush(stdout);
                printError(sumFile + ": " + std::to_string(lineNumber) + ": improperly formatted " +
                           (m_options.algorithm ? algorithmTag(*m_options.algorithm) + " " : "") +
                           "checksum line");
            }
            return kExitOk;
        }
        ++counts.properlyFormatted;
        const auto actual = matchingAlgorithm(*entry);
        if (!actual &&
            (actual.error().code == support::ErrorCode::Cancelled || interruptRequested())) {
            std::fflush(stdout);
            return failWith(actual.error());
        }
        if (!actual && m_options.ignoreMissing &&
            actual.error().code == support::ErrorCode::NotFound) {
            return kExitOk;
        }
        const char* verdict = "OK";
        if (!actual) {
            std::fflush(stdout);
            printError(actual.error().message);
            verdict = "FAILED open or read";
            ++counts.unreadable;
        } else if (*actual == nullptr) {
            verdict = "FAILED";
            ++counts.mismatched;
        } else {
            ++counts.matched;
            if (*actual != entry->algorithm) ++counts.matchedAsOther[*actual];
        }
        const bool ok = actual && *actual != nullptr;
        if (m_options.statusOnly || (ok && m_options.quiet)) return kExitOk;
        const ShownName shown = showCheckedName(entry->name);
        printLine((shown.escaped ? "\\" : "") + shown.text + ": " + verdict + "\n");
        if (actual && !ok && entry->byLength &&
            sameLengthAlgorithms(*entry->algorithm).size() > 1) {
            std::fflush(stdout);
            printError(shown.text + ": matched as none of " +
                       alternatives(sameLengthAlgorithms(*entry->algorithm)) +
                       ", whose digests have this length; give -a if the sum was made with "
                       "another algorithm");
        }
        return kExitOk;
    }

    // The algorithm the listed file's digest matched as: the line's own, else (for a line
    // known by its length only) another of that length, the one that matched last tried first;
    // nullptr when none matched.
    support::Result<const AlgorithmChoice*> matchingAlgorithm(const CheckLine& entry) {
        std::vector<const AlgorithmChoice*> candidates{entry.algorithm};
        if (entry.byLength) {
            candidates = sameLengthAlgorithms(*entry.algorithm);
            const auto preferred = m_matchedByLength.find(entry.algorithm->digestBytes);
            if (preferred != m_matchedByLength.end()) {
                std::erase(candidates, preferred->second);
                candidates.insert(candidates.begin(), preferred->second);
            }
        }
        for (const AlgorithmChoice* candidate : candidates) {
            TerminalProgress progress;
            const auto actual =
                engineFor(*candidate)
                    .computeFile(readablePath(entry.name), progress, interruptToken());
            if (!actual) return actual.error();
            if (*actual == entry.expected) {
                if (entry.byLength) m_matchedByLength[candidate->digestBytes] = candidate;
                return candidate;
            }
        }
        return nullptr;
    }

    // Lines that matched as another algorithm than their length names first are said, so
    // that the next check can name it with -a.
    void noteOtherAlgorithms(const std::string& sumFile, const CheckCounts& counts) const {
        for (const auto& [algorithm, lines] : counts.matchedAsOther) {
            printError(sumFile + ": " + support::plural(lines, "line", "lines") + " matched as " +
                       algorithm->name + " (-a " + algorithm->name + " names it)");
        }
    }

    int verdict(const std::string& sumFile, const CheckCounts& counts) const {
        if (counts.properlyFormatted == 0) {
            printError(sumFile + ": no properly formatted checksum lines found");
            return kExitFailure;
        }
        if (!m_options.statusOnly) {
            noteOtherAlgorithms(sumFile, counts);
            if (counts.improperlyFormatted > 0) {
                printError("WARNING: " + support::plural(counts.improperlyFormatted,
                                                         "line is improperly formatted",
                                                         "lines are improperly formatted"));
            }
            if (counts.unreadable > 0) {
                printError("WARNING: " + support::plural(counts.unreadable,
                                                         "listed file could not be read",
                                                         "listed files could not be read"));
            }
            if (counts.mismatched > 0) {
                printError("WARNING: " + support::plural(counts.mismatched,
                                                         "computed checksum did NOT match",
                                                         "computed checksums did NOT match"));
            }
            if (m_options.ignoreMissing && counts.matched == 0) {
                printError(sumFile + ": no file was verified");
            }
        }
        const bool passed = counts.matched > 0 && counts.mismatched == 0 &&
                            counts.unreadable == 0 &&
                            (!m_options.strict || counts.improperlyFormatted == 0);
        return passed ? kExitOk : kExitFailure;
    }

    const CDigestEngine& engineFor(const AlgorithmChoice& algorithm) {
        auto [found, added] = m_engines.try_emplace(&algorithm);
        if (added) found->second = makeEngine(algorithm, digest::kFormatPlain);
        return found->second;
    }

    const CheckOptions& m_options;
    NameSeparator m_separator = NameSeparator::Undecided;
    std::map<const AlgorithmChoice*, CDigestEngine> m_engines;
    std::map<std::size_t, const AlgorithmChoice*> m_matchedByLength;
};

}  // namespace

const AlgorithmChoice* findAlgorithm(std::string_view name) {
    for (const auto& choice : kAlgorithms) {
        if (equalIgnoringCase(name, choice.name)) return &choice;
    }
    return nullptr;
}

std::string algorithmNames() {
    std::string names;
    for (const auto& choice : kAlgorithms) {
        if (!names.empty()) names += ", ";
        names += choice.name;
    }
    return names;
}

std::string algorithmTag(const AlgorithmChoice& algorithm) {
    std::string tag = algorithm.name;
    for (char& c : tag) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return tag;
}

CDigestEngine makeEngine(const AlgorithmChoice& algorithm, std::int32_t format) {
    CDigestEngine engine;
    engine.SetAlgorithm(algorithm.number);
    engine.setSha2Size(algorithm.sha2Size);
    engine.setGostParameterSet(algorithm.gost);
    engine.SetOutputFormat(format);
    engine.SetInputKind(digest::kInputFile);
    return engine;
}

std::string readablePath(const std::string& name) {
    return name == "-" ? "/dev/stdin" : name;
}

namespace {

ShownName escapeName(const std::string& name, bool escapeCarriageReturn) {
    ShownName shown;
    for (const char c : name) {
        const char* escape = c == '\\'                           ? "\\\\"
                             : c == '\n'                         ? "\\n"
                             : c == '\r' && escapeCarriageReturn ? "\\r"
                                                                 : nullptr;
        if (escape == nullptr) {
            shown.text += c;
        } else {
            shown.text += escape;
            shown.escaped = true;
        }
    }
    return shown;
}

}  // namespace

ShownName showName(const std::string& name) {
    return escapeName(name, true);
}

ShownName showCheckedName(const std::string& name) {
    if (name.find('\n') == std::string::npos) return ShownName{name, false};
    return escapeName(name, false);
}

int checkSumFiles(const std::vector<std::string>& sumFiles, const CheckOptions& options) {
    SumChecker checker(options);
    int status = kExitOk;
    for (const std::string& sumFile : sumFiles) {
        const int one = checker.check(sumFile);
        if (one == support::kExitInterrupted) return one;
        if (one != kExitOk) status = one;
    }
    return status;
}

}  // namespace velquor::cli
