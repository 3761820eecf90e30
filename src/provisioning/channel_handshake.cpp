// The TLS half of an exchange: the client context, the handshake with the server's identity
// checked before any byte of a record leaves, the certificate's names for a reason that names
// both sides, and the test connection that shows the certificate.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "provisioning/channel_parts.h"

namespace velquor::provisioning {

namespace channel {

namespace {

HandshakeNotes* notesOf(SSL* ssl) {
    return static_cast<HandshakeNotes*>(SSL_get_app_data(ssl));
}

int storeNewSession(SSL* ssl, SSL_SESSION* session) {
    HandshakeNotes* notes = notesOf(ssl);
    if (notes == nullptr) return 0;
    if (notes->newSession != nullptr) SSL_SESSION_free(notes->newSession);
    notes->newSession = session;
    return 1;  // we own it now
}

bool hasSubjectAltNames(X509* certificate) {
    return X509_get_ext_by_NID(certificate, NID_subject_alt_name, -1) >= 0;
}

std::string asn1Text(const ASN1_STRING* text) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                       static_cast<std::size_t>(ASN1_STRING_length(text)));
}

}  // namespace

std::string commonName(const X509_NAME* name) {
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at < 0) return {};
    return asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
}

// The DNS names and addresses a certificate is issued for; its common name when it has none.
std::vector<std::string> certificateNames(X509* certificate) {
    std::vector<std::string> names;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS) names.push_back(asn1Text(name->d.dNSName));
        if (name->type == GEN_IPADD) {
            const int length = ASN1_STRING_length(name->d.iPAddress);
            char text[INET6_ADDRSTRLEN] = {};
            if (length == 4 || length == 16) {
                ::inet_ntop(length == 4 ? AF_INET : AF_INET6,
                            ASN1_STRING_get0_data(name->d.iPAddress), text, sizeof text);
                names.emplace_back(text);
            }
        }
    }
    GENERAL_NAMES_free(alternatives);
    if (names.empty()) {
        if (std::string cn = commonName(X509_get_subject_name(certificate)); !cn.empty()) {
            names.push_back(std::move(cn));
        }
    }
    return names;
}

namespace {

std::string joinNames(const std::vector<std::string>& names) {
    if (names.empty()) return "no name at all";
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

// Keeps the names of the server's own certificate; verification itself is OpenSSL's.
int noteServerCertificate(int preverified, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    HandshakeNotes* notes = ssl == nullptr ? nullptr : notesOf(ssl);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (notes != nullptr && leaf != nullptr && notes->presentedNames.empty()) {
        notes->presentedNames = certificateNames(leaf);
        notes->namedOnlyByCommonName = !hasSubjectAltNames(leaf);
    }
    return preverified;
}

}  // namespace

// Makes the client context: TLS 1.2 at least, the peer must verify, trust only the CA file.
MaybeFailure makeContext(const std::string& caFile, const std::string& caProblem, SSL_CTX** out) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        return Failure{kNoContext, "cannot create a TLS context: " + openSslErrors()};
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, noteServerCertificate);
    // A server that hangs up without close_notify has simply not answered.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, storeNewSession);
    // The lookup found no usable file (none there, a FIFO, one planted by another user): that
    // is said, and nothing is opened, so nothing waits on a FIFO's writer.
    if (!caProblem.empty()) {
        SSL_CTX_free(context);
        return Failure{kCaLoadFailed, caProblem};
    }
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        const std::string why = openSslErrors();
        SSL_CTX_free(context);
        return Failure{kCaLoadFailed, "cannot load the trusted certificates from \"" + caFile +
                                          "\"" + (why.empty() ? "" : ": " + why)};
    }
    *out = context;
    return std::nullopt;
}

MaybeFailure Exchange::prepareTls(SSL_CTX* context, SSL_SESSION* resumable) {
    ssl = SSL_new(context);
    BIO* bio = ssl != nullptr ? BIO_new(quietSocketMethod()) : nullptr;
    if (bio == nullptr) {
        return Failure{kNoConnection, "cannot set up TLS: " + openSslErrors()};
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_set_app_data(ssl, &notes);
    // What was asked for must be what the certificate names: an address is checked
    // against its IP entries, a name against its DNS entries. SNI only makes sense for a
    // name.
    if (settings::isIpAddress(address)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str());
    } else {
        SSL_set1_host(ssl, address.c_str());
        SSL_set_tlsext_host_name(ssl, address.c_str());
    }
    if (resumable != nullptr) SSL_set_session(ssl, resumable);
    return std::nullopt;
}

namespace {

// The server closed or reset the connection before the handshake ended: what a server that
// turns connections away for load does, having accepted them.
bool hungUpDuringHandshake(SSL* ssl, int sslError, int socketError) {
    if (sslError == SSL_ERROR_ZERO_RETURN) return true;
    if (BIO_test_flags(SSL_get_rbio(ssl), BIO_FLAGS_IN_EOF) != 0) return true;
    if (sslError == SSL_ERROR_SYSCALL && (socketError == ECONNRESET || socketError == EPIPE)) {
        return true;
    }
    return ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// The chain does not lead to a trust anchor of the CA file (as opposed to an expired or
// otherwise broken certificate).
bool notSignedByTrustedCa(long verification) {
    switch (verification) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return true;
        default:
            return false;
    }
}

}  // namespace

MaybeFailure Exchange::handshake() {
    for (;;) {
        errno = 0;
        const int status = SSL_connect(ssl);
        if (status == 1) break;
        const int socketError = errno;
        const int error = SSL_get_error(ssl, status);
        if (wantsIo(error) && waitFor(fd, error, deadline, stop)) continue;
        if (auto untrusted = verificationFailure()) return untrusted;
        if (wantsIo(error)) {
            return Failure{
                kConnectFailed,
                "no TLS handshake with " + target + " within " + seconds(timeouts.connect), true};
        }
        if (hungUpDuringHandshake(ssl, error, socketError)) {
            ERR_clear_error();
            return Failure{kConnectFailed, "the server at " + target +
                                               " closed the connection before the TLS handshake "
                                               "ended: it may be overloaded; try again later"};
        }
        const std::string why = openSslErrors();
        return Failure{kConnectFailed, "TLS handshake with " + target + " failed" +
                                           (why.empty() ? "" : ": " + why)};
    }
    if (auto untrusted = verificationFailure()) return untrusted;
    if (SSL_get0_peer_certificate(ssl) == nullptr) {
        return Failure{kVerificationFailed,
                       "the server at " + target + " presented no certificate"};
    }
    deadline = Clock::now() + timeouts.exchange;
    return std::nullopt;
}

MaybeFailure Exchange::verificationFailure() const {
    const long verification = SSL_get_verify_result(ssl);
    if (verification == X509_V_OK) return std::nullopt;
    if (verification == X509_V_ERR_HOSTNAME_MISMATCH ||
        verification == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        // An address is looked for among the IP entries alone, never in the common name.
        if (verification == X509_V_ERR_IP_ADDRESS_MISMATCH && notes.namedOnlyByCommonName &&
            !notes.presentedNames.empty()) {
            return Failure{kVerificationFailed,
                           "the certificate of " + target + " names " +
                               notes.presentedNames.front() +
                               " only in its common name (CN), which is not checked: it needs a "
                               "subjectAltName for " +
                               address};
        }
        return Failure{kVerificationFailed, "the certificate of " + target + " is for " +
                                                joinNames(notes.presentedNames) + ", not " +
                                                address};
    }
    if (notSignedByTrustedCa(verification)) {
        return Failure{kVerificationFailed, "the certificate of " + target +
                                                " is not signed by a CA in " + endpoint.caFile};
    }
    return Failure{kVerificationFailed, "the certificate of " + target + " is not trusted: " +
                                            X509_verify_cert_error_string(verification)};
}

}  // namespace channel

using namespace channel;

namespace {

std::string utcText(const ASN1_TIME* time, std::chrono::system_clock::time_point* point) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return "unknown";
    *point = std::chrono::system_clock::from_time_t(::timegm(&parts));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

ServerCertificate describeCertificate(X509* certificate) {
    ServerCertificate described;
    const X509_NAME* subject = X509_get_subject_name(certificate);
    described.subject = commonName(subject);
    if (described.subject.empty()) {
        char line[256];
        X509_NAME_oneline(subject, line, sizeof line);
        described.subject = line;
    }
    described.names = certificateNames(certificate);
    described.notAfter = utcText(X509_get0_notAfter(certificate), &described.expires);
    described.issuer = commonName(X509_get_issuer_name(certificate));
    return described;
}

}  // namespace

support::Result<ServerCertificate> testConnection(const KestoEndpoint& endpoint,
                                                  std::stop_token stop,
                                                  std::optional<std::uint16_t> port) {
    const auto failed = [&stop](const Failure& failure) {
        if (stop.stop_requested()) {
            return support::makeError(support::ErrorCode::Cancelled, "cancelled");
        }
        return support::makeError(support::ErrorCode::Network, failure.reason);
    };
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ERR_clear_error();
    SSL_CTX* context = nullptr;
    if (auto failure = makeContext(endpoint.caFile, endpoint.caProblem, &context)) {
        return failed(*failure);
    }
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> owned(context, SSL_CTX_free);
    Exchange exchange{endpoint, port.value_or(endpoint.loginPort), endpoint.timeouts, stop};
    if (auto failure = exchange.connect()) return failed(*failure);
    if (auto failure = exchange.prepareTls(context, nullptr)) return failed(*failure);
    if (auto failure = exchange.handshake()) return failed(*failure);
    ServerCertificate described = describeCertificate(SSL_get0_peer_certificate(exchange.ssl));
    SSL_shutdown(exchange.ssl);
    return described;
}

std::vector<PortTest> testEveryPort(const KestoEndpoint& endpoint, std::stop_token stop) {
    const std::pair<KestoPort, std::uint16_t> ports[] = {{KestoPort::Login, endpoint.loginPort},
                                                         {KestoPort::Account, endpoint.accountPort},
                                                         {KestoPort::Device, endpoint.devicePort}};
    std::vector<PortTest> tested;
    for (const auto& [which, port] : ports) {
        if (stop.stop_requested()) break;
        tested.push_back(PortTest{which, port, testConnection(endpoint, stop, port)});
    }
    return tested;
}

}  // namespace velquor::provisioning
