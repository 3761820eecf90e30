// Secrets (keys) kept off the command line, where every user of the machine sees them in the
// process list and the shell keeps them in its history: read from a file, from the environment
// or typed at the terminal without echo.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::cli {

// The first line of the file at path, without its line end; "-" reads the next line of standard
// input, an error when there is none. what names the secret in errors ("key").
support::Result<std::string> readSecretFile(const std::string& path, std::string_view what);

// A secret file read a second time, for a new login when the first has ended: a regular file
// is read again (it may hold a new password by then); standard input only when it is
// redirected from a regular file, from where its line began. A pipe, a terminal or a
// process substitution cannot be read again.
class RereadableSecret {
public:
    // Before the first readSecretFile of path.
    explicit RereadableSecret(std::string path);
    bool possible() const { return m_possible; }
    // The secret's line as it reads now; an error when it cannot be read again.
    support::Result<std::string> readAgain(std::string_view what) const;

private:
    std::string m_path;
    off_t m_offset = -1;  // where standard input's line began
    bool m_possible = false;
};

// The value of the environment variable name; an error when it is not set.
support::Result<std::string> readSecretEnvironment(const std::string& name, std::string_view what);

// Asks on the controlling terminal with echo off and returns the line typed. Errors:
// Unsupported when there is no terminal to ask on, Cancelled on Ctrl-C (the terminal's echo
// is restored first).
support::Result<std::string> askSecret(std::string_view prompt);

}  // namespace velquor::cli
