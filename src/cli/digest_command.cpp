// `velquor-cli digest`: digests of files or of a string, in the sum-file line format md5sum
// writes, and the verification of such sum files (--check), with md5sum's options and exit
// statuses.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "cli/sum_file.h"
#include "digest/digest_engine.h"

namespace velquor::cli {
namespace {

constexpr const char* kCommand = "digest";

std::optional<std::int32_t> formatNumber(const std::string& name) {
    if (name == "plain") return digest::kFormatPlain;
    if (name == "spaced") return digest::kFormatSpaced;
    if (name == "upper") return digest::kFormatUpper;
    if (name == "spaced-upper") return digest::kFormatSpacedUpper;
    return std::nullopt;
}

struct LineStyle {
    bool binary = false;  // "DIGEST *NAME", md5sum -b
    bool tagged = false;  // "TAG (NAME) = DIGEST", md5sum --tag
};

std::string sumLine(const AlgorithmChoice& algorithm, const std::string& digestText,
                    const std::string& name, LineStyle style) {
    const ShownName shown = showName(name);
    const std::string lead = shown.escaped ? "\\" : "";
    if (style.tagged) {
        return lead + algorithmTag(algorithm) + " (" + shown.text + ") = " + digestText + "\n";
    }
    return lead + digestText + (style.binary ? " *" : "  ") + shown.text + "\n";
}

int digestFiles(const AlgorithmChoice& algorithm, std::int32_t format, LineStyle style,
                const std::vector<std::string>& files) {
    const digest::CDigestEngine engine = makeEngine(algorithm, format);
    int status = kExitOk;
    for (const auto& name : files) {
        TerminalProgress progress;
        const auto text = engine.computeFile(readablePath(name), progress, interruptToken());
        if (!text && (text.error().code == support::ErrorCode::Cancelled || interruptRequested())) {
            std::fflush(stdout);
            return failWith(text.error());
        }
        if (!text) {
            std::fflush(stdout);
            printError(text.error().message);
            status = kExitFailure;
            continue;
        }
        const std::string line = sumLine(algorithm, *text, name, style);
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::fflush(stdout);
    return status;
}

// The options only --check gives a meaning to, and those it has none for, refused as md5sum
// refuses them rather than silently ignored.
std::optional<std::string> misplacedOption(const support::ArgParser& parser) {
    const bool checking = parser.has("--check");
    for (const char* option : {"--quiet", "--status", "--ignore-missing", "--strict", "--warn"}) {
        if (!checking && parser.has(option)) {
            return std::string("the ") + option + " option is meaningful only with --check";
        }
    }
    if (!checking) return std::nullopt;
    for (const char* option : {"--binary", "--text", "--tag", "--string", "--format"}) {
        if (parser.has(option)) {
            return std::string("the ") + option + " option is meaningless with --check";
        }
    }
    return std::nullopt;
}

int runDigest(const std::vector<std::string>& args) {
    support::ArgParser parser({"--algorithm", "--format", "--string"},
                              {"--check", "--binary", "--text", "--tag", "--quiet", "--status",
                               "--ignore-missing", "--strict", "--warn"},
                              {{"-a", "--algorithm"},
                               {"-c", "--check"},
                               {"-b", "--binary"},
                               {"-t", "--text"},
                               {"-w", "--warn"}});
    if (auto parsed = parser.parse(args); !parsed) {
        return usageError(kCommand, parsed.error().message);
    }
    if (auto misplaced = misplacedOption(parser)) return usageError(kCommand, *misplaced);

    const AlgorithmChoice* algorithm = nullptr;
    if (const auto name = parser.value("--algorithm")) {
        algorithm = findAlgorithm(*name);
        if (algorithm == nullptr) {
            return usageError(kCommand, "unknown algorithm '" + *name + "' (choose one of " +
                                            algorithmNames() + ")");
        }
    }
    const auto& files = parser.positionals();
    const std::vector<std::string> filesOrInput =
        files.empty() ? std::vector<std::string>{"-"} : files;
    if (parser.has("--check")) {
        CheckOptions options;
        options.algorithm = algorithm;
        options.quiet = parser.has("--quiet");
        options.statusOnly = parser.has("--status");
        options.ignoreMissing = parser.has("--ignore-missing");
        options.strict = parser.has("--strict");
        options.warn = parser.has("--warn");
        return checkSumFiles(filesOrInput, options);
    }

    if (algorithm == nullptr) algorithm = findAlgorithm("md5");
    std::int32_t format = digest::kFormatPlain;
    if (const auto name = parser.value("--format")) {
        const auto number = formatNumber(*name);
        if (!number) {
            return usageError(kCommand, "unknown format '" + *name +
                                            "' (choose plain, spaced, upper or spaced-upper)");
        }
        format = *number;
    }
    if (parser.has("--tag") && parser.has("--text")) {
        return usageError(kCommand, "--tag does not support --text mode");
    }
    if (const auto text = parser.value("--string")) {
        if (!files.empty()) return usageError(kCommand, "give files or --string, not both");
        const auto digestText = makeEngine(*algorithm, format).computeText(*text);
        if (!digestText) return failWith(digestText.error());
        std::cout << *digestText << '\n';
        return kExitOk;
    }
    const LineStyle style{parser.has("--binary"), parser.has("--tag")};
    return digestFiles(*algorithm, format, style, filesOrInput);
}

}  // namespace

VELQUOR_REGISTER_COMMAND(
    "digest",
    "digest [-a ALGO] [-b|-t] [--tag] [--format FORMAT] [FILE...]\n"
    "       velquor-cli digest [-a ALGO] --string TEXT [--format FORMAT]\n"
    "       velquor-cli digest [-a ALGO] -c [--quiet|--status] [--ignore-missing] [--strict]\n"
    "                          [-w] [SUMFILE...]\n"
    "  Prints \"DIGEST  FILE\" per FILE, as md5sum does (no FILE, or -: standard input).\n"
    "  -a, --algorithm ALGO  crc32, gost94, gost94-cryptopro, md2, md4, md5 (the default),\n"
    "                        sha1, sha256, sha384, sha512, in any case\n"
    "  -b, --binary          mark the lines \"DIGEST *FILE\"; -t, --text: \"DIGEST  FILE\" (the\n"
    "                        default); both read the file unchanged\n"
    "  --tag                 BSD-style lines \"MD5 (FILE) = DIGEST\"\n"
    "  --format FORMAT       plain (the default), spaced, upper or spaced-upper digits\n"
    "  --string TEXT         print the digest of TEXT alone\n"
    "  -c, --check           verify the lines of each SUMFILE (md5sum's or the BSD-style\n"
    "                        form); without -a each line's algorithm is known by its tag or\n"
    "                        its length (8 crc32, 32 md5, 40 sha1, 64 sha256, 96 sha384,\n"
    "                        128 sha512 digits)\n"
    "  --quiet               with -c, no line for each file that is OK\n"
    "  --status              with -c, print nothing: the exit status tells\n"
    "  --ignore-missing      with -c, files that do not exist are neither failures nor OK\n"
    "  --strict              with -c, improperly formatted lines fail the check\n"
    "  -w, --warn            with -c, name each improperly formatted line\n"
    "  Exit status: 0 every digest made or every file OK; 1 a file could not be read, did not\n"
    "  match, or a sum file had no usable line; 2 a wrong command line; 130 interrupted.",
    "file digests (CRC-32, GOST, MD2/4/5, SHA-1/2) and sum-file checks, as md5sum", runDigest);

}  // namespace velquor::cli
