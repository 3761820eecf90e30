#include "tls_phones.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velquor::bench {
namespace {

using Steady = std::chrono::steady_clock;

std::shared_ptr<EVP_PKEY> newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr) throw std::runtime_error("OpenSSL could not make a P-256 key");
    return {key, EVP_PKEY_free};
}

// A certificate of key for commonName, signed by issuer (itself when it has no certificate).
std::shared_ptr<X509> certify(EVP_PKEY* key, const std::string& commonName, const Identity* issuer,
                              long serial) {
    X509* made = X509_new();
    X509_set_version(made, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(made), serial);
    X509_gmtime_adj(X509_getm_notBefore(made), -3600);
    X509_gmtime_adj(X509_getm_notAfter(made), 2 * 86400);
    X509_set_pubkey(made, key);
    X509_NAME* name = X509_get_subject_name(made);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509* signer = issuer != nullptr ? issuer->certificate.get() : made;
    X509_set_issuer_name(made, X509_get_subject_name(signer));
    if (issuer == nullptr) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, made, made, nullptr, nullptr, 0);
        X509_EXTENSION* ca =
            X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, "critical,CA:TRUE");
        X509_add_ext(made, ca, -1);
        X509_EXTENSION_free(ca);
    }
    if (X509_sign(made, issuer != nullptr ? issuer->key.get() : key, EVP_sha256()) == 0) {
        X509_free(made);
        throw std::runtime_error("OpenSSL could not sign a certificate");
    }
    return {made, X509_free};
}

// The status code of an answer's head, and where its body starts; 0 while it is not whole.
int statusOf(const std::string& answer, std::size_t& bodyAt) {
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos || answer.size() < 12) return 0;
    bodyAt = end + 4;
    return std::atoi(answer.c_str() + 9);
}

// One phone's fetch: its status (0 when no answer came) and whether the body was whole.
int fetchOne(SSL_CTX* context, const TlsPhone& phone, std::uint16_t port, bool& whole) {
    whole = false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = phone.source;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    SSL* ssl = nullptr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        SSL_use_certificate(ssl, phone.identity.certificate.get());
        SSL_use_PrivateKey(ssl, phone.identity.key.get());
        const std::string request = "GET " + phone.path +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench-phone\r\n"
                                    "Connection: close\r\n\r\n";
        if (SSL_connect(ssl) == 1 &&
            SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
            std::string answer;
            char buffer[16384];
            for (int got; (got = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
                answer.append(buffer, static_cast<std::size_t>(got));
            std::size_t bodyAt = 0;
            status = statusOf(answer, bodyAt);
            whole = status != 0 && answer.size() - bodyAt == phone.size;
        }
    }
    if (ssl != nullptr) SSL_free(ssl);
    ::close(fd);
    return status;
}

}  // namespace

PhonesCa::PhonesCa() {
    m_ca.key = newKey();
    m_ca.certificate = certify(m_ca.key.get(), "Bench phones CA", nullptr, m_serial++);
    m_phoneKey = newKey();
}

Identity PhonesCa::issue(const std::string& commonName) {
    return {m_phoneKey, certify(m_phoneKey.get(), commonName, &m_ca, m_serial++)};
}

void PhonesCa::writeCertificate(const std::filesystem::path& file) const {
    FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr || PEM_write_X509(out, m_ca.certificate.get()) == 0)
        throw std::runtime_error("cannot write " + file.string());
    std::fclose(out);
}

TlsFetchOutcome fetchAllOverTls(const std::vector<TlsPhone>& phones, std::uint16_t port,
                                std::size_t inFlight) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);  // every handshake a full one
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    TlsFetchOutcome outcome;
    std::mutex mutex;
    std::atomic<std::size_t> next{0};
    const auto started = Steady::now();
    {
        std::vector<std::jthread> clients;
        for (std::size_t i = 0; i < inFlight; ++i) {
            clients.emplace_back([&] {
                for (std::size_t index; (index = next++) < phones.size();) {
                    const auto begun = Steady::now();
                    bool whole = false;
                    const int status = fetchOne(context, phones[index], port, whole);
                    const double ms =
                        std::chrono::duration<double, std::milli>(Steady::now() - begun).count();
                    std::lock_guard lock(mutex);
                    ++outcome.statuses[status];
                    if (status == phones[index].status && (status != 200 || whole)) {
                        ++outcome.served;
                        outcome.requestMs.push_back(ms);
                    } else {
                        ++outcome.failed;
                    }
                }
            });
        }
    }
    outcome.seconds = std::chrono::duration<double>(Steady::now() - started).count();
    SSL_CTX_free(context);
    return outcome;
}

}  // namespace velquor::bench
