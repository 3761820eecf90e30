// The test TLS client; see tls_test_client.h.
#include "tls_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <thread>
#include <utility>

namespace velquor::testing {

namespace {

using Clock = std::chrono::steady_clock;

// A server that closes first must fail our write, not kill the test with SIGPIPE.
const bool kSigpipeIgnored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}();

struct CtxFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

SSL_CTX* clientContext(const std::string& caFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Reads the server's bytes into outcome until it closes or the time-out passes.
void readUntilClosed(SSL* ssl, int fd, const ClientOptions& options, ExchangeOutcome& outcome) {
    const auto deadline = Clock::now() + options.timeout;
    char buffer[64];
    for (;;) {
        pollfd waitFor{fd, POLLIN, 0};
        if (SSL_pending(ssl) == 0 && ::poll(&waitFor, 1, remainingMs(deadline)) <= 0) {
            if (outcome.error.empty()) outcome.error = "time-out";
            break;
        }
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n > 0) {
            outcome.reply.append(buffer, static_cast<std::size_t>(n));
            outcome.replied = true;
            continue;
        }
        outcome.closedByServer = true;
        break;
    }
}

// Runs an SSL call on a blocking socket that has a receive time-out set.
template <typename Call>
ExchangeOutcome run(const std::string& address, std::uint16_t port, const std::string& caFile,
                    const ClientOptions& options, Call&& afterHandshake) {
    ExchangeOutcome outcome;
    std::unique_ptr<SSL_CTX, CtxFree> context(clientContext(caFile));
    if (context == nullptr) {
        outcome.error = "cannot load " + caFile;
        return outcome;
    }
    const int fd = connectTcp(address, port, options);
    if (fd < 0) {
        outcome.error = "cannot connect";
        return outcome;
    }
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.get()));
    SSL_set_fd(ssl.get(), fd);
    SSL_set1_host(ssl.get(), address.c_str());
    if (SSL_connect(ssl.get()) != 1) {
        outcome.error = "handshake failed";
        ERR_clear_error();
        ::close(fd);
        return outcome;
    }
    outcome.handshakeDone = true;
    if (!afterHandshake(ssl.get())) outcome.error = "write failed";
    readUntilClosed(ssl.get(), fd, options, outcome);
    ERR_clear_error();
    ssl.reset();
    ::close(fd);
    return outcome;
}

}  // namespace

int connectTcp(const std::string& address, std::uint16_t port, const ClientOptions& options) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!options.sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, options.sourceAddress.c_str(), &source.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

ExchangeOutcome tlsExchange(const std::string& address, std::uint16_t port,
                            const std::string& caFile, std::string_view bytes,
                            const ClientOptions& options) {
    return run(address, port, caFile, options, [&](SSL* ssl) {
        if (bytes.empty()) return true;
        return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
    });
}

HeldTls::HeldTls(const std::string& address, std::uint16_t port, const std::string& caFile,
                 const ClientOptions& options) {
    auto* context = clientContext(caFile);
    m_context = context;
    m_fd = context == nullptr ? -1 : connectTcp(address, port, options);
    if (m_fd < 0) return;
    timeval timeout{static_cast<time_t>(options.timeout.count() / 1000), 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, m_fd);
    SSL_set1_host(ssl, address.c_str());
    if (SSL_connect(ssl) == 1) {
        m_ssl = ssl;
    } else {
        SSL_free(ssl);
        ERR_clear_error();
    }
}

HeldTls::HeldTls(HeldTls&& other) noexcept
    : m_context(std::exchange(other.m_context, nullptr)),
      m_ssl(std::exchange(other.m_ssl, nullptr)),
      m_fd(std::exchange(other.m_fd, -1)) {}

HeldTls::~HeldTls() {
    if (m_ssl != nullptr) SSL_free(static_cast<SSL*>(m_ssl));
    if (m_context != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(m_context));
    if (m_fd >= 0) ::close(m_fd);
}

std::string clientHello() {
    std::unique_ptr<SSL_CTX, CtxFree> context(SSL_CTX_new(TLS_client_method()));
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.get()));
    SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_connect(ssl.get());  // wants to read: the hello is written
    ERR_clear_error();
    char* hello = nullptr;
    const long length = BIO_get_mem_data(SSL_get_wbio(ssl.get()), &hello);
    return length > 0 ? std::string(hello, static_cast<std::size_t>(length)) : std::string();
}

int sendHelloAndStall(const std::string& address, std::uint16_t port,
                      const ClientOptions& options) {
    const std::string hello = clientHello();
    const int fd = connectTcp(address, port, options);
    if (fd < 0) return -1;
    if (hello.empty() || ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) !=
                             static_cast<ssize_t>(hello.size())) {
        ::close(fd);
        return -1;
    }
    pollfd answer{.fd = fd, .events = POLLIN, .revents = 0};
    ::poll(&answer, 1, static_cast<int>(options.timeout.count()));
    return fd;
}

SteppedTls::SteppedTls(const std::string& address, std::uint16_t port, const std::string& caFile,
                       const std::string& certificate, const std::string& key,
                       const ClientOptions& options)
    : m_options(options) {
    SSL_CTX* context = clientContext(caFile);
    if (context == nullptr) return;
    m_context = context;
    if (!certificate.empty() &&
        (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1 ||
         SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1)) {
        ERR_clear_error();
        return;
    }
    m_fd = connectTcp(address, port, options);
    if (m_fd < 0) return;
    SSL* ssl = SSL_new(context);
    m_ssl = ssl;
    SSL_set1_host(ssl, address.c_str());
    // The hello is made into memory and sent by hand, so that nothing of the server's answer
    // is read before finish(); then the socket takes over.
    BIO* incoming = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, incoming, outgoing);
    SSL_set_connect_state(ssl);
    if (SSL_do_handshake(ssl) == 1) return;
    char* hello = nullptr;
    const long length = BIO_get_mem_data(outgoing, &hello);
    if (length <= 0 || ::send(m_fd, hello, static_cast<std::size_t>(length), MSG_NOSIGNAL) !=
                           static_cast<ssize_t>(length)) {
        return;
    }
    SSL_set_fd(ssl, m_fd);
    pollfd answer{.fd = m_fd, .events = POLLIN, .revents = 0};
    m_answered = ::poll(&answer, 1, static_cast<int>(options.timeout.count())) == 1;
}

SteppedTls::~SteppedTls() {
    SSL_free(static_cast<SSL*>(m_ssl));
    SSL_CTX_free(static_cast<SSL_CTX*>(m_context));
    if (m_fd >= 0) ::close(m_fd);
}

ExchangeOutcome SteppedTls::finish(std::string_view bytes) {
    ExchangeOutcome outcome;
    auto* ssl = static_cast<SSL*>(m_ssl);
    if (!m_answered || SSL_connect(ssl) != 1) {
        ERR_clear_error();
        outcome.error = m_answered ? "handshake failed" : "no answer to the hello";
        return outcome;
    }
    outcome.handshakeDone = true;
    if (SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size())) {
        outcome.error = "write failed";
    }
    readUntilClosed(ssl, m_fd, m_options, outcome);
    ERR_clear_error();
    return outcome;
}

ExchangeOutcome tlsTrickle(const std::string& address, std::uint16_t port,
                           const std::string& caFile, std::string_view bytes,
                           std::chrono::milliseconds pause, const ClientOptions& options) {
    return run(address, port, caFile, options, [&](SSL* ssl) {
        for (const char byte : bytes) {
            if (SSL_write(ssl, &byte, 1) != 1) return false;
            std::this_thread::sleep_for(pause);
        }
        return true;
    });
}

}  // namespace velquor::testing
