// velquor-cli encrypt / decrypt: the encrypted configuration file from a shell.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "crypto/config_file.h"

namespace velquor::cli {

namespace {

using ConfigFileOperation =
    std::function<support::Status(const std::string&, const std::string&, const std::string&,
                                  support::Reporter&, const crypto::ConfigFileOptions&)>;

struct ConfigFileCommand {
    std::string_view name;
    ConfigFileOperation operation;
    KeyPrompt prompt;
    bool decrypts;
};

// The format has no check value: a wrong key gives noise and no error, and encrypting twice
// gives a file that decrypts to the first encryption. Neither is what anybody wants to install
// on a phone, so nothing is written unless --binary says such data is meant.
support::Error doubtRefused(const ConfigFileCommand& command, const support::Error& error) {
    return support::makeError(error.code, std::string(command.name) + ": " + error.message +
                                              "; nothing was written (--binary " +
                                              (command.decrypts ? "writes it" : "encrypts it") +
                                              " anyway)");
}

int runConfigFileCommand(const ConfigFileCommand& command, const std::vector<std::string>& args) {
    support::ArgParser parser(withKeyOptions({}), {"--binary"});
    if (auto parsed = parser.parse(args); !parsed) {
        return usageError(command.name, parsed.error().message);
    }
    if (parser.positionals().size() != 2)
        return usageError(command.name, "expected INPUT and OUTPUT");
    const std::string& inputPath = parser.positionals()[0];
    const std::string& outputPath = parser.positionals()[1];
    if (parser.value("--key-file") == "-" && inputPath == "-") {
        return usageError(command.name, "standard input cannot give both the key and the input");
    }
    auto key = keyFromOptions(parser, command.prompt);
    if (!key) return keyFailure(command.name, key.error());
    warnAboutKey(*key);

    support::Status status;
    {
        // The returned error already says everything the reports say, with the path and the
        // reason: print that one line instead of the short product texts as well.
        support::NullReporter reporter;
        TerminalProgress progress;
        crypto::ConfigFileOptions options;
        options.progress = &progress;
        options.stop = interruptToken();
        options.dashIsStandardStream = true;
        if (!parser.has("--binary")) options.whenDoubtful = [](crypto::Doubt) { return false; };
        status = command.operation(inputPath, outputPath, *key, reporter, options);
    }
    if (!status && status.error().code == support::ErrorCode::Refused) {
        return failWith(doubtRefused(command, status.error()));
    }
    if (!status) {
        return failWith(support::makeError(
            status.error().code, std::string(command.name) + ": " + status.error().message));
    }
    return kExitOk;
}

constexpr char kKeyHelp[] =
    "  The key is --key-file F (its first line; - is standard input), --key-env NAME, --key\n"
    "  TEXT or --key-hex HEX; without one it is asked on the terminal. --key puts the key in\n"
    "  the process list and the shell's history. Only the first 16 bytes of a key are used\n"
    "  (a warning says when a key is cut); an empty key is the all-zero key (warned about).";

}  // namespace

VELQUOR_REGISTER_COMMAND(
    "encrypt",
    std::string("encrypt [--key-file F | --key-env NAME | --key TEXT | --key-hex HEX] [--binary]\n"
                "                  INPUT OUTPUT\n"
                "  Encrypts INPUT with AES-128 into OUTPUT; - is standard input or output. The\n"
                "  output is written in full or not at all. An INPUT that looks encrypted\n"
                "  already (not text, a multiple of 16 bytes) is refused, with exit status 1 and\n"
                "  nothing written, unless --binary says such input is meant.\n") +
        kKeyHelp,
    "encrypt a configuration file with AES-128; - is standard input or output",
    [](const std::vector<std::string>& args) {
        return runConfigFileCommand(
            {"encrypt", crypto::EncryptConfigFile, KeyPrompt::Confirmed, false}, args);
    });

VELQUOR_REGISTER_COMMAND(
    "decrypt",
    std::string("decrypt [--key-file F | --key-env NAME | --key TEXT | --key-hex HEX] [--binary]\n"
                "                  INPUT OUTPUT\n"
                "  Decrypts INPUT into OUTPUT; - is standard input or output. An INPUT whose size\n"
                "  is not a multiple of 16 is refused. When the result does not look like text\n"
                "  (a wrong key gives noise), nothing is written and the exit status is 1,\n"
                "  unless --binary says binary output is expected.\n") +
        kKeyHelp,
    "decrypt an encrypted configuration file; - is standard input or output",
    [](const std::vector<std::string>& args) {
        return runConfigFileCommand({"decrypt", crypto::DecryptConfigFile, KeyPrompt::Once, true},
                                    args);
    });

}  // namespace velquor::cli
