// 'kestod init': a new server folder with its CA, server certificate, cacert.pem for
// clients, and the database holding the administrator account. No password ships with
// the server: the administrator's comes from a file or is generated and shown once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "server/guard/password_hash.h"
#include "support/result.h"
#include "wire/kesto_address.h"

namespace velquor::server {

struct InitOptions {
    std::filesystem::path folder;
    std::string databaseUrl;  // empty: the SQLite file in the folder
    // IP addresses and DNS names the server certificate is for, and serve listens on.
    std::vector<std::string> addresses{std::string(wire::kDefaultServerAddress)};
    std::optional<std::filesystem::path> adminPasswordFile;
    // Where the CA's key goes; empty: the folder's "ca".
    std::filesystem::path caFolder;
    // Replace existing keys, chief's password and the stored settings; accounts and
    // registrations are kept.
    bool force = false;
    std::uint32_t iterations = kDefaultPbkdf2Iterations;
    // The phones' CA files (phone_cas.h); none: no phones' port.
    std::vector<std::filesystem::path> phoneCas;
};

struct InitOutcome {
    std::string generatedPassword;  // empty when the password came from a file
};

support::Result<InitOutcome> initialiseServer(const InitOptions& options);

// A password from a file: its first line, without the line ending.
support::Result<std::string> readPasswordFile(const std::filesystem::path& file);
// The same from a file, or from the first line of standard input for "-".
support::Result<std::string> readPasswordFileOrInput(const std::string& fileOrDash);

}  // namespace velquor::server
