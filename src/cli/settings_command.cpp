// velquor-cli settings: the Kesto settings in effect, each with where it came from, written so
// that the lines can be pasted into a settings file.
#include <iostream>
#include <set>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "settings/kesto_settings.h"

namespace velquor::cli {
namespace {

constexpr const char* kUsage =
    "settings [--address HOST] [--ports L,A,D] [--cafile F] [--connect-timeout S]\n"
    "         [--exchange-timeout S] [--jobs N] [--mac-form F]\n"
    "Prints the [kesto] and [devices] settings in effect and where each comes from: an option "
    "given here,\n"
    "the per-user file ($XDG_CONFIG_HOME/velquor/velquor.conf, ~/.config/velquor/velquor.conf\n"
    "by default), the system file (/etc/velquor/velquor.conf) or the built-in default; then\n"
    "the CA certificate file a login would use.";

std::string originText(const settings::ValueOrigin& from) {
    if (from.where.empty()) return std::string(settings::originName(from.origin));
    if (from.origin == settings::Origin::CommandLine) return "command line";
    return std::string(settings::originName(from.origin)) + " " + from.where;
}

int runSettings(const std::vector<std::string>& arguments) {
    std::set<std::string> options;
    for (const auto& option : settings::kSettingOptions) options.emplace(option.option);
    support::ArgParser args(options, {});
    if (auto parsed = args.parse(arguments); !parsed) {
        return usageError("settings", parsed.error().message);
    }
    if (!args.positionals().empty()) return usageError("settings", "settings takes no arguments");
    auto commandLine = settings::valuesFromOptions(
        [&args](const std::string& option) { return args.value(option); });
    if (!commandLine) return usageError("settings", commandLine.error().message);
    const settings::SettingsPaths paths = settings::defaultSettingsPaths();
    auto loaded = settings::loadSettings(*commandLine, paths);
    if (!loaded) return failWith(loaded.error());
    for (const auto& warning : loaded->warnings) printError("warning: " + warning);
    const settings::CaFileLookup ca = settings::findCaFile(loaded->effective, paths);
    for (const auto& why : ca.rejected) {
        printError("warning: " + why + "; not used as the CA certificate");
    }

    std::cout << "# system file: " << paths.systemFile().string() << "\n"
              << "# user file:   " << paths.userFile().string() << "\n";
    std::string section;
    for (const auto& line : settings::describeSettings(loaded->effective)) {
        if (line.section != section) {
            section = line.section;
            std::cout << "[" << section << "]\n";
        }
        // An unset ca-file stays a comment, so that the lines can be pasted as they are.
        if (line.value.empty()) {
            std::cout << "# " << line.key << " is not set\n";
            continue;
        }
        // The origin on a comment line of its own: after the value it would be part of it.
        std::cout << "# " << line.key << ": " << originText(line.from) << "\n"
                  << line.key << " = " << line.value << "\n";
    }

    if (ca.found) {
        std::cout << "# CA certificate: " << ca.found->string() << "\n";
    } else {
        std::cout << "# CA certificate: none; " << ca.problem << "\n";
    }
    return kExitOk;
}

}  // namespace

VELQUOR_REGISTER_COMMAND("settings", kUsage,
                         "show the Kesto settings in effect and where each comes from",
                         runSettings);

}  // namespace velquor::cli
