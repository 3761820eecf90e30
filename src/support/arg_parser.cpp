// The command-line option parser; see arg_parser.h.
#include "support/arg_parser.h"

namespace velquor::support {

namespace {

Error usage(std::string message) {
    return makeError(ErrorCode::Usage, std::move(message));
}

}  // namespace

ArgParser::ArgParser(std::set<std::string> valueOptions, std::set<std::string> flags,
                     std::map<std::string, std::string> shortAliases)
    : m_valueOptions(std::move(valueOptions)),
      m_flags(std::move(flags)),
      m_shortAliases(std::move(shortAliases)) {}

Status ArgParser::parse(const std::vector<std::string>& args) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            m_positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (!arg.starts_with("--")) {
            auto alias = m_shortAliases.find(arg);
            if (alias == m_shortAliases.end()) return usage("unknown option " + arg);
            arg = alias->second;
        }
        if (m_flags.contains(arg)) {
            if (inlineValue) return usage("option " + arg + " takes no value");
            m_seenFlags.insert(arg);
        } else if (m_valueOptions.contains(arg)) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) return usage("option " + arg + " needs a value");
                inlineValue = args[++i];
            }
            m_values[arg] = *inlineValue;
            m_allValues[arg].push_back(*inlineValue);
        } else {
            return usage("unknown option " + arg);
        }
    }
    return {};
}

bool ArgParser::has(const std::string& option) const {
    return m_seenFlags.contains(option) || m_values.contains(option);
}

std::optional<std::string> ArgParser::value(const std::string& option) const {
    auto found = m_values.find(option);
    if (found == m_values.end()) return std::nullopt;
    return found->second;
}

std::vector<std::string> ArgParser::values(const std::string& option) const {
    auto found = m_allValues.find(option);
    return found == m_allValues.end() ? std::vector<std::string>() : found->second;
}

}  // namespace velquor::support
