// The sub-commands of kestod, one file each, and how they report a failure. args exclude the
// program and command names; each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

namespace velquor::server {

int runInitCommand(const std::vector<std::string>& args);
int runServeCommand(const std::vector<std::string>& args);
int runUsersCommand(const std::vector<std::string>& args);
int runDevicesCommand(const std::vector<std::string>& args);
int runPasswdCommand(const std::vector<std::string>& args);
int runMigrateCommand(const std::vector<std::string>& args);
int runPhonesCommand(const std::vector<std::string>& args);

// Prints "kestod: <message>" on stderr (and the usage after a usage error) and returns the
// exit status the error maps to.
int reportFailure(const support::Error& error);

}  // namespace velquor::server
