// The addresses a server certificate is for, and the CA and server certificate 'kestod init'
// makes for them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/tls/server_folder.h"
#include "support/result.h"

namespace velquor::server {

// "a, b,c" as {"a", "b", "c"}; the form the certified addresses are stored in, joined by ",".
std::vector<std::string> splitAddressList(std::string_view list);
std::string joinAddressList(const std::vector<std::string>& addresses);

// Why the address cannot go into a certificate, or empty when it can: the address rule of
// net/host_address.h, which the client's settings follow too.
std::string addressProblem(std::string_view address);

// Makes a new CA (ECDSA P-256) and a server certificate signed by it for the addresses, each
// carried as a subject alternative name: IP for an address, DNS for a name. Keys are written
// with mode 0600.
support::Status createCertificates(const ServerFiles& files,
                                   const std::vector<std::string>& addresses);

}  // namespace velquor::server
