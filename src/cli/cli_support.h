// What every velquor-cli sub-command shares: error printing with the exit status each error
// maps to, the key options, a Reporter that prints, a progress sink on stderr (only when it is
// a terminal) and a stop token tied to Ctrl-C.
#pragma once

#include <cstdint>
#include <set>
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

// options plus the four that give a key: --key TEXT, --key-hex HEX, --key-file F (its first
// line; - is standard input) and --key-env NAME.
std::set<std::string> withKeyOptions(std::set<std::string> options);
// True when one of the key options was given.
bool keyGiven(const support::ArgParser& args);

enum class KeyPrompt {
    Never,      // a key option is needed
    Once,       // without a key option, ask on the terminal
    Confirmed,  // the same, typed twice (a key that makes new files)
};

// The key bytes from the key options, or typed at the terminal when none is given and prompt
// allows it. Errors: Usage for two key options or none where one is needed, Cancelled when
// the prompt is interrupted, NotFound/Io/InvalidInput for a file or variable that gives none.
support::Result<std::string> keyFromOptions(const support::ArgParser& args,
                                            KeyPrompt prompt = KeyPrompt::Never);
// The exit status for a key that could not be had: a usage error for a wrong command line,
// else the error's own status.
int keyFailure(std::string_view command, const support::Error& error);
// A key is used as the file format takes it: its first 16 bytes, an empty one as the all-zero
// key. Both are legal, and files made earlier may need them, but rarely what the user meant:
// say so on stderr.
void warnAboutKey(std::string_view key);

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
// True once SIGINT/SIGTERM arrived (after interruptToken() installed the handlers).
bool interruptRequested();

}  // namespace velquor::cli
