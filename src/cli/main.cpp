// velquor-cli: every Velquor job from a shell. Dispatches to the registered sub-command.
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"

namespace {

void printOverview(std::ostream& out) {
    out << "usage: velquor-cli COMMAND [OPTIONS...]\n\ncommands:\n";
    for (const auto* command : velquor::cli::CommandRegistry::instance().all()) {
        out << "  " << command->name;
        for (std::size_t pad = command->name.size(); pad < 10; ++pad) out << ' ';
        out << command->summary << '\n';
    }
    out << "\n'velquor-cli COMMAND --help' shows a command's options.\n";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velquor::cli;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printOverview(std::cerr);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printOverview(std::cout);
        return kExitOk;
    }
    const Command* command = CommandRegistry::instance().find(args[0]);
    if (command == nullptr) {
        std::cerr << "velquor-cli: unknown command '" << args[0] << "'\n";
        printOverview(std::cerr);
        return kExitUsage;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& arg : rest) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            std::cout << "usage: velquor-cli " << command->usage << '\n';
            return kExitOk;
        }
    }
    return command->run(rest);
}
