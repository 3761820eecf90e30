// kestod's command lines turned into settings. Everything wrong with a command line is an
// error with ErrorCode::Usage, found before any file is touched or port bound.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "server/commands/initialise_folder.h"
#include "server/serving/kesto_server.h"
#include "support/result.h"

namespace velquor::server {

// 'kestod init --dir DIR [--database URL] [--address A] [--admin-password-file F] [--force]
//  [--pbkdf2-iterations N]'; args exclude the program and command names.
support::Result<InitOptions> parseInitOptions(const std::vector<std::string>& args);

// 'kestod serve --dir DIR [--database URL] [--address A] [--ports L,A,D] ...': every number
// must be a positive whole number; ports may be 0 (any free port).
support::Result<ServeSettings> parseServeSettings(const std::vector<std::string>& args);

struct UsersOptions {
    StoreLocation store;
    std::string trustUser;   // empty: list the accounts
    std::string trustRange;  // net::AddressRange::text()
    int trustDays = 7;
    bool trustEverywhere = false;  // the range holds every address (given with --everywhere)
};

// The longest a trust may be given for, in days.
inline constexpr int kMostTrustDays = 365;

// 'kestod users (--dir DIR | --database URL) [trust NAME ADDR[/LEN] [--days N]]'
support::Result<UsersOptions> parseUsersOptions(const std::vector<std::string>& args);

struct DevicesOptions {
    StoreLocation store;
    std::vector<std::string> release;  // MACs to free; empty: list the registrations
    bool invalid = false;              // list the registrations no record can match
    std::vector<std::string> assign;   // MAC and user: give the MAC to the user
};

// 'kestod devices (--dir DIR | --database URL) [--invalid | release MAC... | assign MAC USER]'
support::Result<DevicesOptions> parseDevicesOptions(const std::vector<std::string>& args);

struct PasswdOptions {
    StoreLocation store;
    std::string name;
    std::string passwordFile;  // "-": the first line of standard input
};

// 'kestod passwd (--dir DIR | --database URL) NAME --password-file F|-'
support::Result<PasswdOptions> parsePasswdOptions(const std::vector<std::string>& args);

struct PhonesOptions {
    std::filesystem::path folder;
    std::vector<std::filesystem::path> cas;  // empty: list the CAs kept
};

// 'kestod phones --dir DIR [--ca FILE...]'
support::Result<PhonesOptions> parsePhonesOptions(const std::vector<std::string>& args);

struct MigrateOptions {
    std::filesystem::path folder;
    std::string databaseUrl;
};

// 'kestod migrate --dir DIR --to URL'
support::Result<MigrateOptions> parseMigrateOptions(const std::vector<std::string>& args);

}  // namespace velquor::server
