// Where kestod keeps its state inside its folder, and the TLS material in it: the CA and the
// server certificate that 'kestod init' makes, and the TLS context 'kestod serve' builds.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace velquor::server {

struct ServerFiles {
    std::filesystem::path folder;
    // The CA's key signs the server certificate and is needed by 'kestod init' only: it is kept
    // in a folder of its own (the server folder's "ca", or init's --ca-dir), so that the
    // serving folder can be copied to another instance without it. serve never reads it.
    std::filesystem::path caFolder;
    std::filesystem::path caKey;
    // Where a folder made by an earlier release keeps it; still checked for its mode.
    std::filesystem::path caKeyBeside;
    std::filesystem::path caCert;  // "cacert.pem": what clients trust
    std::filesystem::path serverKey;
    std::filesystem::path serverCert;
    std::filesystem::path database;
};

// The files of a folder; caFolder, when given, is where the CA's key is (else folder/ca).
ServerFiles serverFilesIn(const std::filesystem::path& folder,
                          const std::filesystem::path& caFolder = {});

// True if an IPv4 address in dotted form ("192.0.2.7") or an IPv6 address ("2001:db8::7").
bool isIpAddress(std::string_view address);
// True if a DNS host name clients can connect to ("kesto.example.com", "localhost").
bool isHostName(std::string_view name);

// "a, b,c" as {"a", "b", "c"}; the form the certified addresses are stored in, joined by ",".
std::vector<std::string> splitAddressList(std::string_view list);
std::string joinAddressList(const std::vector<std::string>& addresses);

// Why the address cannot go into a certificate, or empty when it can.
std::string addressProblem(std::string_view address);

// Makes a new CA (ECDSA P-256) and a server certificate signed by it for the addresses, each
// carried as a subject alternative name: IP for an address, DNS for a name. Keys are written
// with mode 0600.
support::Status createCertificates(const ServerFiles& files,
                                   const std::vector<std::string>& addresses);

struct SslContextFree {
    void operator()(SSL_CTX* context) const;
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;

// A server context offering TLS 1.2 and later with the server certificate and key.
support::Result<SslContextPtr> makeServerTlsContext(const ServerFiles& files);

// The OpenSSL error queue as one line, emptied.
std::string takeTlsErrors();

}  // namespace velquor::server
