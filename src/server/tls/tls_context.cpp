// The server TLS context; see tls_context.h.
#include "server/tls/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "wire/tls_suites.h"

namespace velquor::server {

namespace {

support::Error tlsError(std::string what) {
    const std::string details = takeTlsErrors();
    if (!details.empty()) what += ": " + details;
    return support::makeError(support::ErrorCode::Internal, std::move(what));
}

}  // namespace

std::string takeTlsErrors() {
    std::string text;
    unsigned long code = 0;
    while ((code = ERR_get_error()) != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

void SslContextFree::operator()(SSL_CTX* context) const {
    SSL_CTX_free(context);
}

support::Result<SslContextPtr> makeServerTlsContext(const ServerFiles& files) {
    SslContextPtr context(SSL_CTX_new(TLS_server_method()));
    if (!context) return tlsError("cannot create a TLS context");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    if (SSL_CTX_set_cipher_list(context.get(), wire::kTls12CipherList) != 1) {
        return tlsError("cannot set the TLS 1.2 cipher suites");
    }
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Idle connections keep no read/write buffers: hundreds of them stay cheap.
    SSL_CTX_set_mode(context.get(), SSL_MODE_RELEASE_BUFFERS);
    static const unsigned char kSessionContext[] = "kestod";
    SSL_CTX_set_session_id_context(context.get(), kSessionContext, sizeof kSessionContext - 1);
    if (SSL_CTX_use_certificate_chain_file(context.get(), files.serverCert.c_str()) != 1) {
        return tlsError("cannot load the server certificate " + files.serverCert.string());
    }
    if (SSL_CTX_use_PrivateKey_file(context.get(), files.serverKey.c_str(), SSL_FILETYPE_PEM) !=
        1) {
        return tlsError("cannot load the server key " + files.serverKey.string());
    }
    if (SSL_CTX_check_private_key(context.get()) != 1) {
        return tlsError("the server key does not match " + files.serverCert.string());
    }
    return context;
}

}  // namespace velquor::server
