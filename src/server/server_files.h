// Where kestod keeps its state inside its folder, and the TLS material in it: the CA and the
// server certificate that 'kestod init' makes, and the TLS context 'kestod serve' builds.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "support/result.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace velquor::server {

struct ServerFiles {
    std::filesystem::path folder;
    std::filesystem::path caKey;   // stays with the server; signs the server certificate
    std::filesystem::path caCert;  // "cacert.pem": what clients trust
    std::filesystem::path serverKey;
    std::filesystem::path serverCert;
    std::filesystem::path database;
};

ServerFiles serverFilesIn(const std::filesystem::path& folder);

// True if an IPv4 address in dotted form ("192.0.2.7").
bool isIpv4Address(std::string_view address);

// Makes a new CA (ECDSA P-256) and a server certificate for the address, carried as an IP
// subject alternative name, signed by it. Keys are written with mode 0600.
support::Status createCertificates(const ServerFiles& files, std::string_view address);

struct SslContextFree {
    void operator()(SSL_CTX* context) const;
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;

// A server context offering TLS 1.2 and later with the server certificate and key.
support::Result<SslContextPtr> makeServerTlsContext(const ServerFiles& files);

// The OpenSSL error queue as one line, emptied.
std::string takeTlsErrors();

}  // namespace velquor::server
