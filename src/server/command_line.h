// kestod's command lines turned into settings. Everything wrong with a command line is an
// error with ErrorCode::Usage, found before any file is touched or port bound.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "server/kesto_server.h"
#include "server/server_init.h"
#include "support/result.h"

namespace velquor::server {

// 'kestod init --dir DIR [--address A] [--admin-password-file F] [--force]
//  [--pbkdf2-iterations N]'; args exclude the program and command names.
support::Result<InitOptions> parseInitOptions(const std::vector<std::string>& args);

// 'kestod serve --dir DIR [--address A] [--ports L,A,D] [--deadline-ms N] ...': every number
// must be a positive whole number; ports may be 0 (any free port).
support::Result<ServeSettings> parseServeSettings(const std::vector<std::string>& args);

// The '--dir DIR' of the commands that only read a server folder (users, devices).
support::Result<std::filesystem::path> parseFolderOnly(const std::vector<std::string>& args);

struct PasswdOptions {
    std::filesystem::path folder;
    std::string name;
    std::string passwordFile;  // "-": the first line of standard input
};

// 'kestod passwd --dir DIR NAME --password-file F|-'
support::Result<PasswdOptions> parsePasswdOptions(const std::vector<std::string>& args);

}  // namespace velquor::server
