// velquor-cli: every Velquor job from a shell. Dispatches to the registered sub-command.
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "support/atomic_file.h"
#include "support/version.h"

namespace {

using namespace velquor::cli;

void printOverview(std::ostream& out) {
    out << "usage: velquor-cli COMMAND [OPTIONS...]\n"
           "       velquor-cli --version\n\ncommands:\n";
    for (const auto* command : CommandRegistry::instance().all()) {
        out << "  " << command->name;
        for (std::size_t pad = command->name.size(); pad < 10; ++pad) out << ' ';
        out << command->summary << '\n';
    }
    out << "\n'velquor-cli COMMAND --help' or 'velquor-cli help COMMAND' shows a command's "
           "options.\n"
           "Exit status: 0 done, 1 the work failed, 2 a wrong command line, 130 interrupted.\n";
}

int usageFailure(const std::string& message) {
    if (!message.empty()) printError(message);
    printOverview(std::cerr);
    return velquor::support::exitStatusFor(velquor::support::ErrorCode::Usage);
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--") return false;
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A file-size limit turns into "File too large" and a kept old file, not a killed process.
    velquor::support::ignoreFileSizeSignal();
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usageFailure("");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        // "help COMMAND" is "COMMAND --help", as in git and other tools with sub-commands.
        if (args[0] == "help" && args.size() > 1) {
            const Command* command = CommandRegistry::instance().find(args[1]);
            if (command == nullptr) return usageFailure("unknown command '" + args[1] + "'");
            std::cout << "usage: velquor-cli " << command->usage << '\n';
            return kExitOk;
        }
        printOverview(std::cout);
        return kExitOk;
    }
    if (args[0] == "--version") {
        std::cout << "velquor-cli " << velquor::support::kVersion << '\n';
        return kExitOk;
    }
    const Command* command = CommandRegistry::instance().find(args[0]);
    if (command == nullptr) {
        const bool isOption = args[0].starts_with("-");
        return usageFailure((isOption ? "unknown option '" : "unknown command '") + args[0] + "'");
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (wantsHelp(rest)) {
        std::cout << "usage: velquor-cli " << command->usage << '\n';
        return kExitOk;
    }
    return command->run(rest);
}
