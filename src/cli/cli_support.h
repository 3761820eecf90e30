// What every velquor-cli sub-command shares: error printing with the exit status each error
// maps to, the key options, a Reporter that prints, a progress sink on stderr (only when it is
// a terminal) and a stop token tied to Ctrl-C.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "support/arg_parser.h"
#include "support/progress.h"
#include "support/reporter.h"
#include "support/result.h"

namespace velquor::cli {

// Prints "velquor-cli: <message>" on stderr.
void printError(std::string_view message);
// Prints the error and returns the exit status it maps to.
int failWith(const support::Error& error);
// Prints a usage error with the command's usage and returns the usage status.
int usageError(std::string_view command, std::string_view message);
// The status of a batch that reports per item: interrupted wins over failed, since the
// batch did not run to its end.
int batchExitStatus(bool succeeded, bool cancelled);

// Parses "--key TEXT" / "--key-hex HEX" into key bytes; an error names the problem.
support::Result<std::string> keyFromOptions(const support::ArgParser& args);

// A Reporter for the CLI: each report becomes a line on stderr, "caption: text", and a
// report's detail (the reason behind it) follows in parentheses.
class StderrReporter final : public support::Reporter {
public:
    void report(std::string_view text, std::string_view caption) override;
    void reportWithDetail(std::string_view text, std::string_view caption,
                          std::string_view detail) override;
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
// True once SIGINT/SIGTERM arrived (after interruptToken() installed the handlers).
bool interruptRequested();

}  // namespace velquor::cli
