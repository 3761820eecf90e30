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

int runConfigFileCommand(std::string_view name, const ConfigFileOperation& operation,
                         const std::vector<std::string>& args) {
    support::ArgParser parser({"--key", "--key-hex"}, {});
    if (auto parsed = parser.parse(args); !parsed) return usageError(name, parsed.error().message);
    if (parser.positionals().size() != 2) return usageError(name, "expected INPUT and OUTPUT");
    auto key = keyFromOptions(parser);
    if (!key) return usageError(name, key.error().message);

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
        status =
            operation(parser.positionals()[0], parser.positionals()[1], *key, reporter, options);
    }
    if (!status) {
        return failWith(support::makeError(status.error().code,
                                           std::string(name) + ": " + status.error().message));
    }
    return kExitOk;
}

}  // namespace

VELQUOR_REGISTER_COMMAND("encrypt", "encrypt (--key TEXT | --key-hex HEX) INPUT OUTPUT",
                         "encrypt a configuration file with AES-128; - is standard input or output",
                         [](const std::vector<std::string>& args) {
                             return runConfigFileCommand("encrypt", crypto::EncryptConfigFile,
                                                         args);
                         });

VELQUOR_REGISTER_COMMAND("decrypt", "decrypt (--key TEXT | --key-hex HEX) INPUT OUTPUT",
                         "decrypt an encrypted configuration file; - is standard input or output",
                         [](const std::vector<std::string>& args) {
                             return runConfigFileCommand("decrypt", crypto::DecryptConfigFile,
                                                         args);
                         });

}  // namespace velquor::cli
