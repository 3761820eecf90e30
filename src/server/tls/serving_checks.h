// What kestod checks before it serves a folder, and again when told to reload: that no other
// account can read its keys or change its folder or database, and that the server certificate
// is still valid (with a warning once it expires within 30 days) and names what is served.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "server/tls/server_folder.h"
#include "support/result.h"

namespace velquor::server {

inline constexpr auto kExpiryWarning = std::chrono::days(30);

// Refuses (naming the file and its mode) a folder that others may write to, a key that others
// may read, and a database (when the store is the folder's SQLite file) that others may write.
support::Status checkFolderModes(const ServerFiles& files, bool sqliteStore);

// The server certificate's expiry and names: an error when it has expired (or is not valid
// yet), or when it names nothing in its subject alternative names (the only names clients
// match; a subject's CN alone is not). *warnings gets a line when it expires within
// kExpiryWarning, and one for each of `served` (the addresses and names kestod listens on; a
// wildcard address names nothing, so it is not checked) that nothing it lists is or resolves
// to: a certificate names what clients connect to, not where kestod binds.
support::Status checkServerCertificate(const ServerFiles& files,
                                       const std::vector<std::string>& served,
                                       std::vector<std::string>* warnings);

}  // namespace velquor::server
