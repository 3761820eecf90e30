// What every velquor-cli sub-command shares: a small option parser, error printing with
// the one mapping from errors to exit statuses, a Reporter that prints, a progress sink on
// stderr (only when it is a terminal) and a stop token tied to Ctrl-C.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "support/progress.h"
#include "support/reporter.h"
#include "support/result.h"

namespace velquor::cli {

// Parses "--name value", "--name=value", "-x value" and flags; everything else is positional.
// "--" ends the options.
class ArgParser {
public:
    // valueOptions take a value; flags do not. Short aliases map "-a" to "--algorithm".
    ArgParser(std::set<std::string> valueOptions, std::set<std::string> flags,
              std::map<std::string, std::string> shortAliases = {});

    // On a malformed command line: false, and error() says why.
    bool parse(const std::vector<std::string>& args);
    const std::string& error() const { return m_error; }

    bool has(const std::string& option) const;
    std::optional<std::string> value(const std::string& option) const;
    const std::vector<std::string>& positionals() const { return m_positionals; }

private:
    std::set<std::string> m_valueOptions;
    std::set<std::string> m_flags;
    std::map<std::string, std::string> m_shortAliases;
    std::map<std::string, std::string> m_values;
    std::set<std::string> m_seenFlags;
    std::vector<std::string> m_positionals;
    std::string m_error;
};

// Prints "velquor-cli: <message>" on stderr.
void printError(std::string_view message);
// Prints the error and returns the exit status it maps to.
int failWith(const support::Error& error);
// Prints a usage error with the command's usage and returns kExitUsage.
int usageError(std::string_view command, std::string_view message);

// Parses "--key TEXT" / "--key-hex HEX" into key bytes; an error names the problem.
support::Result<std::string> keyFromOptions(const ArgParser& args);
// Decodes hexadecimal text ("00ff..."), refusing odd lengths and other characters.
support::Result<std::string> decodeHex(std::string_view hex);

// A Reporter for the CLI: each report becomes a line on stderr, "caption: text".
class StderrReporter final : public support::Reporter {
public:
    void report(std::string_view text, std::string_view caption) override;
};

// Progress on stderr, redrawn on one line, only when stderr is a terminal.
class TerminalProgress final : public support::ProgressSink {
public:
    TerminalProgress();
    ~TerminalProgress() override;
    void progress(std::uint64_t done, std::uint64_t total, std::string_view what) override;

private:
    bool m_enabled;
    bool m_drawn = false;
    std::uint64_t m_lastDrawMs = 0;
};

// A stop token that is stopped by SIGINT/SIGTERM (installed on first use).
std::stop_token interruptToken();

}  // namespace velquor::cli
