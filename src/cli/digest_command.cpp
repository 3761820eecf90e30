// `velquor-cli digest`: digests of files or of a text, in the sum-file line format, and the
// verification of such a sum file (--check).
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "digest/digest_engine.h"
#include "support/wording.h"

namespace velquor::cli {
namespace {

using digest::CDigestEngine;

constexpr const char* kCommand = "digest";

struct AlgorithmChoice {
    const char* name;
    std::int32_t number;
    std::int32_t sha2Size;
    digest::GostParameterSet gost;
    std::size_t digestBytes;
};

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

const AlgorithmChoice* findAlgorithm(const std::string& name) {
    for (const auto& choice : kAlgorithms) {
        if (name == choice.name) return &choice;
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

std::optional<std::int32_t> formatNumber(const std::string& name) {
    if (name == "plain") return digest::kFormatPlain;
    if (name == "spaced") return digest::kFormatSpaced;
    if (name == "upper") return digest::kFormatUpper;
    if (name == "spaced-upper") return digest::kFormatSpacedUpper;
    return std::nullopt;
}

// "-" names standard input, as for the other sum tools.
std::string readablePath(const std::string& name) {
    return name == "-" ? "/dev/stdin" : name;
}

// A file name that would break the one-line-per-file format is written escaped, and the line
// then starts with a backslash, so that --check (and other sum tools) can read it back.
std::string escapeName(const std::string& name, bool escapeCarriageReturn, bool& escaped) {
    escaped = false;
    std::string out;
    for (const char c : name) {
        if (c == '\\') {
            out += "\\\\";
            escaped = true;
        } else if (c == '\n') {
            out += "\\n";
            escaped = true;
        } else if (c == '\r' && escapeCarriageReturn) {
            out += "\\r";
            escaped = true;
        } else {
            out += c;
        }
    }
    return out;
}

// The inverse of escapeName; nullopt for a dangling or unknown escape.
std::optional<std::string> unescapeName(const std::string& text) {
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

CDigestEngine makeEngine(const AlgorithmChoice& algorithm, std::int32_t format) {
    CDigestEngine engine;
    engine.SetAlgorithm(algorithm.number);
    engine.setSha2Size(algorithm.sha2Size);
    engine.setGostParameterSet(algorithm.gost);
    engine.SetOutputFormat(format);
    engine.SetInputKind(digest::kInputFile);
    return engine;
}

bool wasInterrupted(const support::Result<std::string>& result) {
    return !result &&
           (result.error().code == support::ErrorCode::Cancelled || interruptRequested());
}

int digestFiles(const AlgorithmChoice& algorithm, std::int32_t format,
                const std::vector<std::string>& files) {
    const CDigestEngine engine = makeEngine(algorithm, format);
    int status = kExitOk;
    for (const auto& name : files) {
        TerminalProgress progress;
        const auto text = engine.computeFile(readablePath(name), progress, interruptToken());
        if (wasInterrupted(text)) return failWith(text.error());
        if (!text) {
            std::fflush(stdout);
            printError(text.error().message);
            status = kExitFailure;
            continue;
        }
        bool escaped = false;
        const std::string shown = escapeName(name, true, escaped);
        std::string line = (escaped ? "\\" : "") + *text + "  " + shown + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::fflush(stdout);
    return status;
}

struct CheckLine {
    std::string expected;  // lower-case hexadecimal
    std::string name;
};

bool isHex(const std::string& text) {
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::optional<std::string> expectedDigest(std::string_view text, std::size_t digestBytes) {
    if (text.size() != digestBytes * 2 || !isHex(std::string(text))) return std::nullopt;
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// "DIGEST  NAME" or "DIGEST *NAME" (binary mark), as the sum tools write them.
std::optional<CheckLine> parsePlainLine(std::string_view body, std::size_t digestBytes) {
    const std::size_t digits = digestBytes * 2;
    if (body.size() < digits + 3 || body[digits] != ' ' ||
        (body[digits + 1] != ' ' && body[digits + 1] != '*')) {
        return std::nullopt;
    }
    auto expected = expectedDigest(body.substr(0, digits), digestBytes);
    if (!expected) return std::nullopt;
    return CheckLine{std::move(*expected), std::string(body.substr(digits + 2))};
}

// "TAG (NAME) = DIGEST", the tagged form the sum tools write with --tag.
std::optional<CheckLine> parseTaggedLine(std::string_view body, std::size_t digestBytes) {
    const std::size_t open = body.find(" (");
    const std::size_t close = body.rfind(") = ");
    if (open == 0 || open == std::string_view::npos || close == std::string_view::npos ||
        close < open + 2) {
        return std::nullopt;
    }
    auto expected = expectedDigest(body.substr(close + 4), digestBytes);
    if (!expected) return std::nullopt;
    return CheckLine{std::move(*expected), std::string(body.substr(open + 2, close - open - 2))};
}

// A line of a sum file, optionally led by a backslash that marks escapes in the name.
std::optional<CheckLine> parseCheckLine(std::string_view line, std::size_t digestBytes) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.remove_prefix(1);
    auto parsed = parsePlainLine(line, digestBytes);
    if (!parsed) parsed = parseTaggedLine(line, digestBytes);
    if (!parsed || parsed->name.empty()) return std::nullopt;
    if (escaped) {
        auto unescaped = unescapeName(parsed->name);
        if (!unescaped) return std::nullopt;
        parsed->name = std::move(*unescaped);
    }
    return parsed;
}

int checkSums(const AlgorithmChoice& algorithm, const std::string& sumFile) {
    std::ifstream in(readablePath(sumFile), std::ios::binary);
    if (!in.is_open()) {
        printError(sumFile + ": cannot open: " + std::strerror(errno));
        return kExitFailure;
    }
    const CDigestEngine engine = makeEngine(algorithm, digest::kFormatPlain);
    std::size_t malformed = 0, mismatched = 0, unreadable = 0, checked = 0;
    std::string line;
    while (std::getline(in, line)) {
        const auto entry = parseCheckLine(line, algorithm.digestBytes);
        if (!entry) {
            ++malformed;
            continue;
        }
        ++checked;
        bool escaped = false;
        const bool needsEscape = entry->name.find('\n') != std::string::npos;
        const std::string shown =
            needsEscape ? "\\" + escapeName(entry->name, false, escaped) : entry->name;
        TerminalProgress progress;
        const auto actual =
            engine.computeFile(readablePath(entry->name), progress, interruptToken());
        if (wasInterrupted(actual)) return failWith(actual.error());
        std::string verdict;
        if (!actual) {
            std::fflush(stdout);
            printError(actual.error().message);
            verdict = "FAILED open or read";
            ++unreadable;
        } else if (*actual != entry->expected) {
            verdict = "FAILED";
            ++mismatched;
        } else {
            verdict = "OK";
        }
        const std::string out = shown + ": " + verdict + "\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    std::fflush(stdout);
    if (in.bad()) {
        printError(sumFile + ": read error");
        return kExitFailure;
    }
    if (checked == 0) {
        printError(sumFile + ": no properly formatted checksum lines found");
        return kExitFailure;
    }
    if (malformed > 0) {
        printError("WARNING: " + support::plural(malformed, "line is improperly formatted",
                                                 "lines are improperly formatted"));
    }
    if (unreadable > 0) {
        printError("WARNING: " + support::plural(unreadable, "listed file could not be read",
                                                 "listed files could not be read"));
    }
    if (mismatched > 0) {
        printError("WARNING: " + support::plural(mismatched, "computed checksum did NOT match",
                                                 "computed checksums did NOT match"));
    }
    return (mismatched > 0 || unreadable > 0) ? kExitFailure : kExitOk;
}

int runDigest(const std::vector<std::string>& args) {
    support::ArgParser parser({"--algorithm", "--format", "--text", "--check"}, {},
                              {{"-a", "--algorithm"}, {"-c", "--check"}, {"-t", "--text"}});
    if (auto parsed = parser.parse(args); !parsed)
        return usageError(kCommand, parsed.error().message);

    const std::string algorithmName = parser.value("--algorithm").value_or("md5");
    const AlgorithmChoice* algorithm = findAlgorithm(algorithmName);
    if (algorithm == nullptr) {
        return usageError(kCommand, "unknown algorithm '" + algorithmName + "' (choose one of " +
                                        algorithmNames() + ")");
    }
    std::int32_t format = digest::kFormatPlain;
    if (const auto name = parser.value("--format")) {
        const auto number = formatNumber(*name);
        if (!number) {
            return usageError(kCommand, "unknown format '" + *name +
                                            "' (choose plain, spaced, upper or spaced-upper)");
        }
        format = *number;
    }

    const auto& files = parser.positionals();
    if (const auto sumFile = parser.value("--check")) {
        if (!files.empty() || parser.has("--text") || parser.has("--format")) {
            return usageError(kCommand, "--check takes only the sum file and -a");
        }
        return checkSums(*algorithm, *sumFile);
    }
    if (const auto text = parser.value("--text")) {
        if (!files.empty()) return usageError(kCommand, "give files or --text, not both");
        CDigestEngine engine = makeEngine(*algorithm, format);
        const auto digestText = engine.computeText(*text);
        if (!digestText) return failWith(digestText.error());
        std::cout << *digestText << '\n';
        return kExitOk;
    }
    return digestFiles(*algorithm, format, files.empty() ? std::vector<std::string>{"-"} : files);
}

}  // namespace

VELQUOR_REGISTER_COMMAND(
    "digest",
    "digest [-a ALGO] [--format plain|spaced|upper|spaced-upper] (FILE... | --text STRING)\n"
    "       velquor-cli digest [-a ALGO] -c SUMFILE\n"
    "  ALGO: crc32, gost94, gost94-cryptopro, md2, md4, md5 (default), sha1, sha256, sha384,\n"
    "  sha512. Prints \"DIGEST  FILE\" per file (no FILE or \"-\": standard input); --text\n"
    "  prints the digest of STRING alone. -c/--check verifies the lines of SUMFILE.",
    "file digests (CRC-32, GOST, MD2/4/5, SHA-1/2) and sum-file checks", runDigest);

}  // namespace velquor::cli
