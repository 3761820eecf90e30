// The TLS context 'kestod serve' builds from the folder's server certificate and key.
#pragma once

#include <memory>
#include <string>

#include "server/tls/server_folder.h"
#include "support/result.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace velquor::server {

struct SslContextFree {
    void operator()(SSL_CTX* context) const;
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;

// A server context offering TLS 1.2 (its AEAD suites only) and later with the server
// certificate and key.
support::Result<SslContextPtr> makeServerTlsContext(const ServerFiles& files);

// The OpenSSL error queue as one line, emptied.
std::string takeTlsErrors();

}  // namespace velquor::server
