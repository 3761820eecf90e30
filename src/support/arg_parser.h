// ArgParser: the command-line option parser of every Velquor program. It knows nothing of a
// program's commands; each command declares its options and reads what was given.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/result.h"

namespace velquor::support {

// Parses "--name value", "--name=value", "-x value" and flags; everything else is positional.
// "--" ends the options.
class ArgParser {
public:
    // valueOptions take a value; flags do not. Short aliases map "-a" to "--algorithm".
    ArgParser(std::set<std::string> valueOptions, std::set<std::string> flags,
              std::map<std::string, std::string> shortAliases = {});

    // A malformed command line (unknown option, missing value, a value for a flag) is an
    // error with ErrorCode::Usage saying why.
    Status parse(const std::vector<std::string>& args);

    bool has(const std::string& option) const;
    // The value given last; values() has every one, in order, for an option that may repeat.
    std::optional<std::string> value(const std::string& option) const;
    std::vector<std::string> values(const std::string& option) const;
    const std::vector<std::string>& positionals() const { return m_positionals; }

private:
    std::set<std::string> m_valueOptions;
    std::set<std::string> m_flags;
    std::map<std::string, std::string> m_shortAliases;
    std::map<std::string, std::string> m_values;
    std::map<std::string, std::vector<std::string>> m_allValues;
    std::set<std::string> m_seenFlags;
    std::vector<std::string> m_positionals;
};

}  // namespace velquor::support
