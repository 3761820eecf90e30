// The scripted TLS test server: blocking OpenSSL on a thread, short socket time-outs so it
// notices when the test is over.
#include "scripted_tls_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace velquor::provisioning::testing {

int bindLoopback(std::uint16_t* port, bool ipv6) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto& address = reinterpret_cast<sockaddr_in6&>(storage);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(*port);
        length = sizeof address;
    } else {
        auto& address = reinterpret_cast<sockaddr_in&>(storage);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(*port);
        length = sizeof address;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                       : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    return fd;
}

namespace {

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

constexpr auto kPollStep = std::chrono::milliseconds(50);
constexpr auto kGiveUpAfter = std::chrono::seconds(20);

}  // namespace

ScriptedTlsServer::ScriptedTlsServer(const std::filesystem::path& certificate,
                                     const std::filesystem::path& key, std::size_t recordLength,
                                     ServerScript script, std::uint16_t port, bool ipv6)
    : m_port(port), m_recordLength(recordLength), m_script(std::move(script)) {
    // Clients hang up mid-handshake on purpose; writing to them must not end the test program.
    ::signal(SIGPIPE, SIG_IGN);
    m_context = SSL_CTX_new(TLS_server_method());
    if (m_context == nullptr ||
        SSL_CTX_use_certificate_chain_file(m_context, certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(m_context);
        throw std::runtime_error("test server: cannot load " + certificate.string());
    }
    m_listener = bindLoopback(&m_port, ipv6);
    ::listen(m_listener, 16);
    m_thread = std::thread([this] { serve(); });
}

ScriptedTlsServer::~ScriptedTlsServer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
    SSL_CTX_free(m_context);
}

void ScriptedTlsServer::setScript(ServerScript script) {
    std::lock_guard lock(m_mutex);
    m_script = std::move(script);
}

ServerScript ScriptedTlsServer::script() const {
    std::lock_guard lock(m_mutex);
    return m_script;
}

std::vector<std::string> ScriptedTlsServer::received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::vector<std::string> ScriptedTlsServer::serverNamesOffered() const {
    std::lock_guard lock(m_mutex);
    return m_serverNames;
}

void ScriptedTlsServer::serve() {
    while (!m_stop) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kPollStep.count())) <= 0) continue;
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++m_accepted;
        handle(fd);
        ::close(fd);
    }
}

void ScriptedTlsServer::handle(int fd) {
    setReceiveTimeout(fd, kPollStep);
    SSL* ssl = SSL_new(m_context);
    SSL_set_fd(ssl, fd);
    const auto giveUp = std::chrono::steady_clock::now() + kGiveUpAfter;
    int status = 0;
    while ((status = SSL_accept(ssl)) != 1) {
        const int error = SSL_get_error(ssl, status);
        if (error != SSL_ERROR_WANT_READ || m_stop || std::chrono::steady_clock::now() > giveUp) {
            break;
        }
    }
    {
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        std::lock_guard lock(m_mutex);
        m_serverNames.push_back(name != nullptr ? name : "");
    }
    if (status != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        return;
    }
    ++m_handshakes;
    const std::string record = readRecord(ssl);
    {
        std::lock_guard lock(m_mutex);
        m_received.push_back(record);
    }
    const ServerScript todo = script();
    switch (todo.action) {
        case ServerAction::Reply: {
            const std::string reply = todo.replyTo ? todo.replyTo(record) : todo.reply;
            SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
            SSL_shutdown(ssl);
            break;
        }
        case ServerAction::HangUp:
            SSL_shutdown(ssl);
            break;
        case ServerAction::DropConnection:
            break;
        case ServerAction::NeverAnswer:
            waitForClientToLeave(ssl);
            break;
    }
    ERR_clear_error();
    SSL_free(ssl);
}

// Reads until a whole record arrived, the client stopped sending, or the test ends.
std::string ScriptedTlsServer::readRecord(SSL* ssl) {
    std::string record;
    char buffer[1024];
    int idleRounds = 0;
    while (record.size() < m_recordLength && !m_stop && idleRounds < 20) {
        const int wanted =
            static_cast<int>(std::min(sizeof buffer, m_recordLength - record.size()));
        const int n = SSL_read(ssl, buffer, wanted);
        if (n > 0) {
            record.append(buffer, static_cast<std::size_t>(n));
            idleRounds = 0;
            continue;
        }
        if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) break;
        ++idleRounds;
    }
    return record;
}

void ScriptedTlsServer::waitForClientToLeave(SSL* ssl) {
    const auto giveUp = std::chrono::steady_clock::now() + kGiveUpAfter;
    char byte;
    while (!m_stop && std::chrono::steady_clock::now() < giveUp) {
        const int n = SSL_read(ssl, &byte, 1);
        if (n <= 0 && SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) return;
    }
}

SilentTcpListener::SilentTcpListener() {
    m_listener = bindLoopback(&m_port);
    ::listen(m_listener, 16);
}

SilentTcpListener::~SilentTcpListener() {
    ::close(m_listener);
}

FullBacklogListener::FullBacklogListener() {
    m_listener = bindLoopback(&m_port);
    ::listen(m_listener, 0);
    m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    if (::connect(m_filler, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot fill the accept queue");
    }
}

FullBacklogListener::~FullBacklogListener() {
    ::close(m_filler);
    ::close(m_listener);
}

ClosedPort::ClosedPort() {
    m_socket = bindLoopback(&m_port);
}

ClosedPort::~ClosedPort() {
    ::close(m_socket);
}

}  // namespace velquor::provisioning::testing
