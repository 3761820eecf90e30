// The sub-command registry of velquor-cli. Each sub-command lives in its own
// <name>_command.cpp and registers itself with VELQUOR_REGISTER_COMMAND, so adding one
// never touches another's file.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/exit_status.h"

namespace velquor::cli {

// Exit statuses are the ones every Velquor program shares; an error's status comes from
// support::exitStatusFor, reached through failWith and usageError (cli_support.h).
using support::kExitFailure;
using support::kExitOk;

struct Command {
    std::string name;     // "encrypt", "digest", "kesto", ...
    std::string usage;    // one or more lines shown by --help, without the program name
    std::string summary;  // one line for the overview
    // args excludes the program and the command name.
    std::function<int(const std::vector<std::string>& args)> run;
};

class CommandRegistry {
public:
    static CommandRegistry& instance();
    void add(Command command);
    const Command* find(std::string_view name) const;
    // Sorted by name.
    std::vector<const Command*> all() const;

private:
    std::vector<Command> m_commands;
};

struct CommandRegistrar {
    explicit CommandRegistrar(Command command) {
        CommandRegistry::instance().add(std::move(command));
    }
};

#define VELQUOR_CLI_CONCAT_INNER(a, b) a##b
#define VELQUOR_CLI_CONCAT(a, b) VELQUOR_CLI_CONCAT_INNER(a, b)
#define VELQUOR_REGISTER_COMMAND(...)                                                        \
    static const ::velquor::cli::CommandRegistrar VELQUOR_CLI_CONCAT(registrar_, __LINE__) { \
        ::velquor::cli::Command {                                                            \
            __VA_ARGS__                                                                      \
        }                                                                                    \
    }

}  // namespace velquor::cli
