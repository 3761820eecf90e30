// Secrets (keys) kept off the command line, where every user of the machine sees them in the
// process list and the shell keeps them in its history: read from a file, from the environment
// or typed at the terminal without echo.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::cli {

// The first line of the file at path, without its line end; "-" reads the next line of standard
// input, an error when there is none. what names the secret in errors ("key").
support::Result<std::string> readSecretFile(const std::string& path, std::string_view what);

// The value of the environment variable name; an error when it is not set.
support::Result<std::string> readSecretEnvironment(const std::string& name, std::string_view what);

// Asks on the controlling terminal with echo off and returns the line typed. Errors:
// Unsupported when there is no terminal to ask on, Cancelled on Ctrl-C (the terminal's echo
// is restored first).
support::Result<std::string> askSecret(std::string_view prompt);

}  // namespace velquor::cli
