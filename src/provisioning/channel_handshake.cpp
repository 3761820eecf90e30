// The TLS half of an exchange: the client context, the handshake with the server's identity
// checked before any byte of a record leaves, the certificate's names for a reason that names
// both sides, and the test connection that shows the certificate.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "net/host_address.h"
#include "provisioning/channel_parts.h"
#include "wire/tls_suites.h"

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

// "a", "a and b", "a, b and c"; the list's last "and" is worded by the window.
support::Phrase joinNames(const std::vector<std::string>& names) {
    if (names.empty()) return support::Phrase{VELQUOR_TR_NOOP("core", "no name at all"), {}};
    if (names.size() == 1) return support::Phrase{"%1", {names.front()}};
    std::string first = names.front();
    for (std::size_t i = 1; i + 1 < names.size(); ++i) first += ", " + names[i];
    //: a list of the names a certificate is issued for: %1 is "a" or "a, b", %2 the last name
    return support::Phrase{VELQUOR_TR_NOOP("core", "%1 and %2"), {first, names.back()}};
}

// phrase, whose %index is a phrase of its own (counted from 1).
support::Phrase withPhraseArgument(support::Phrase phrase, std::size_t index,
                                   support::Phrase argument) {
    phrase.arguments.insert(phrase.arguments.begin() + static_cast<std::ptrdiff_t>(index - 1),
                            argument.english());
    phrase.argumentPhrases.resize(phrase.arguments.size());
    phrase.argumentPhrases[index - 1] = std::move(argument);
    return phrase;
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
MaybeFailure makeContext(const KestoEndpoint& endpoint, SSL_CTX** out) {
    const std::string& caFile = endpoint.caFile;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        //: %1 is OpenSSL's own message
        return wordedFailure(
            kNoContext, support::Phrase{VELQUOR_TR_NOOP("core", "cannot create a TLS context: %1"),
                                        {openSslErrors()}});
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context, wire::kTls12CipherList);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, noteServerCertificate);
    // A server that hangs up without close_notify has simply not answered.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, storeNewSession);
    // The lookup found no usable file (none there, a FIFO, one planted by another user): that
    // is said, and nothing is opened, so nothing waits on a FIFO's writer.
    if (!endpoint.caProblem.empty()) {
        SSL_CTX_free(context);
        if (endpoint.caProblemPhrase.english() == endpoint.caProblem) {
            return wordedFailure(kCaLoadFailed, endpoint.caProblemPhrase);
        }
        return Failure{kCaLoadFailed, endpoint.caProblem};
    }
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        const std::string why = openSslErrors();
        SSL_CTX_free(context);
        if (why.empty()) {
            //: %1 is the CA certificate file
            return wordedFailure(
                kCaLoadFailed,
                support::Phrase{
                    VELQUOR_TR_NOOP("core", "cannot load the trusted certificates from \"%1\""),
                    {caFile}});
        }
        //: %1 is the CA certificate file, %2 OpenSSL's own message
        return wordedFailure(
            kCaLoadFailed,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "cannot load the trusted certificates from \"%1\": %2"),
                {caFile, why}});
    }
    *out = context;
    return std::nullopt;
}

MaybeFailure Exchange::prepareTls(SSL_CTX* context, SSL_SESSION* resumable) {
    ssl = SSL_new(context);
    BIO* bio = ssl != nullptr ? BIO_new(quietSocketMethod()) : nullptr;
    if (bio == nullptr) {
        //: %1 is OpenSSL's own message
        return wordedFailure(
            kNoConnection,
            support::Phrase{VELQUOR_TR_NOOP("core", "cannot set up TLS: %1"), {openSslErrors()}});
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_set_app_data(ssl, &notes);
    // What was asked for must be what the certificate names: an address is checked
    // against its IP entries, a name (without a final dot) against its DNS entries. SNI only
    // makes sense for a name.
    const auto host = net::parseHostAddress(address);
    if (host && host->isIp()) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host->address.c_str());
    } else {
        const std::string name = host ? host->certified() : address;
        SSL_set1_host(ssl, name.c_str());
        SSL_set_tlsext_host_name(ssl, name.c_str());
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
            //: %1 is the server's host:port, %2 the time allowed ("5 s")
            return wordedFailure(
                kConnectFailed,
                support::Phrase{VELQUOR_TR_NOOP("core", "no TLS handshake with %1 within %2"),
                                {target, seconds(timeouts.connect)}},
                true);
        }
        if (hungUpDuringHandshake(ssl, error, socketError)) {
            ERR_clear_error();
            //: %1 is the server's host:port
            return wordedFailure(
                kConnectFailed,
                support::Phrase{VELQUOR_TR_NOOP("core",
                                                "the server at %1 closed the connection before the "
                                                "TLS handshake ended: it may be overloaded; try "
                                                "again later"),
                                {target}});
        }
        const std::string why = openSslErrors();
        if (why.empty()) {
            //: %1 is the server's host:port
            return wordedFailure(
                kConnectFailed,
                support::Phrase{VELQUOR_TR_NOOP("core", "TLS handshake with %1 failed"), {target}});
        }
        //: %1 is the server's host:port, %2 OpenSSL's own message
        return wordedFailure(
            kConnectFailed,
            support::Phrase{VELQUOR_TR_NOOP("core", "TLS handshake with %1 failed: %2"),
                            {target, why}});
    }
    if (auto untrusted = verificationFailure()) return untrusted;
    if (SSL_get0_peer_certificate(ssl) == nullptr) {
        //: %1 is the server's host:port
        return wordedFailure(
            kVerificationFailed,
            support::Phrase{VELQUOR_TR_NOOP("core", "the server at %1 presented no certificate"),
                            {target}});
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
            //: %1 is the server's host:port, %2 the name in the certificate, %3 the address
            //: asked for
            return wordedFailure(
                kVerificationFailed,
                support::Phrase{VELQUOR_TR_NOOP("core",
                                                "the certificate of %1 names %2 only in its common "
                                                "name (CN), which is not checked: it needs a "
                                                "subjectAltName for %3"),
                                {target, notes.presentedNames.front(), address}});
        }
        //: %1 is the server's host:port, %2 the names in the certificate, %3 the name or
        //: address asked for
        return wordedFailure(
            kVerificationFailed,
            withPhraseArgument(
                support::Phrase{VELQUOR_TR_NOOP("core", "the certificate of %1 is for %2, not %3"),
                                {target, address}},
                2, joinNames(notes.presentedNames)));
    }
    if (notSignedByTrustedCa(verification)) {
        //: %1 is the server's host:port, %2 the CA certificate file
        return wordedFailure(
            kVerificationFailed,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "the certificate of %1 is not signed by a CA in %2"),
                {target, endpoint.caFile}});
    }
    //: %1 is the server's host:port, %2 OpenSSL's own reason
    return wordedFailure(
        kVerificationFailed,
        support::Phrase{VELQUOR_TR_NOOP("core", "the certificate of %1 is not trusted: %2"),
                        {target, X509_verify_cert_error_string(verification)}});
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
            return support::makeError(support::ErrorCode::Cancelled,
                                      support::Phrase{VELQUOR_TR_NOOP("core", "cancelled"), {}});
        }
        return errorSaying(support::ErrorCode::Network, failure.reason, failure.phrase);
    };
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ERR_clear_error();
    SSL_CTX* context = nullptr;
    if (auto failure = makeContext(endpoint, &context)) {
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
