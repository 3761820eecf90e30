// The sub-command registry; see command.h.
#include "cli/command.h"

#include <algorithm>

namespace velquor::cli {

CommandRegistry& CommandRegistry::instance() {
    static CommandRegistry registry;
    return registry;
}

void CommandRegistry::add(Command command) {
    m_commands.push_back(std::move(command));
}

const Command* CommandRegistry::find(std::string_view name) const {
    for (const auto& command : m_commands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

std::vector<const Command*> CommandRegistry::all() const {
    std::vector<const Command*> sorted;
    for (const auto& command : m_commands) sorted.push_back(&command);
    std::sort(sorted.begin(), sorted.end(),
              [](const Command* a, const Command* b) { return a->name < b->name; });
    return sorted;
}

}  // namespace velquor::cli
