// The concurrent scripted TLS server: blocking OpenSSL, one thread per connection, short socket
// time-outs so every thread notices when the test is over.
#include "concurrent_tls_server.h"

#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "scripted_tls_server.h"

namespace velquor::provisioning::testing {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(50);

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Closing with a zero linger resets the connection: the client's handshake fails at once.
void resetOnClose(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

}  // namespace

ConcurrentTlsServer::ConcurrentTlsServer(const CertificateAndKey& identity,
                                         std::size_t recordLength, Scripter scripter)
    : m_recordLength(recordLength), m_scripter(std::move(scripter)) {
    // Clients leave mid-exchange on purpose; writing to them must not end the test program.
    ::signal(SIGPIPE, SIG_IGN);
    m_context = SSL_CTX_new(TLS_server_method());
    if (m_context == nullptr ||
        SSL_CTX_use_certificate_chain_file(m_context, identity.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_context, identity.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(m_context);
        throw std::runtime_error("test server: cannot load " + identity.certificate.string());
    }
    m_listener = bindLoopback(&m_port);
    ::listen(m_listener, 64);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

ConcurrentTlsServer::~ConcurrentTlsServer() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_acceptor.join();
    for (auto& connection : m_connections) connection.join();
    ::close(m_listener);
    SSL_CTX_free(m_context);
}

void ConcurrentTlsServer::openGate() {
    {
        std::lock_guard lock(m_mutex);
        m_gateOpen = true;
    }
    m_changed.notify_all();
}

void ConcurrentTlsServer::openGateWhenHolding(std::size_t count, std::chrono::milliseconds window) {
    {
        std::lock_guard lock(m_mutex);
        m_openWhenHolding = count;
        m_window = window;
        if (m_heldCount >= count) m_gateOpen = true;
    }
    m_changed.notify_all();
}

std::vector<std::string> ConcurrentTlsServer::records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

std::size_t ConcurrentTlsServer::mostHeldAtOnce() const {
    std::lock_guard lock(m_mutex);
    return m_mostHeld;
}

std::size_t ConcurrentTlsServer::mostIdenticalHeldAtOnce() const {
    std::lock_guard lock(m_mutex);
    return m_mostIdentical;
}

bool ConcurrentTlsServer::waitForConnections(int count) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kHangGuard, [&] { return m_accepted.load() >= count; });
}

bool ConcurrentTlsServer::waitForRecords(std::size_t count) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kHangGuard, [&] { return m_records.size() >= count; });
}

void ConcurrentTlsServer::acceptLoop() {
    while (!m_stop) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kPollStep.count())) <= 0) continue;
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int connection = m_accepted.load();
        const ConnectionScript script = m_scripter ? m_scripter(connection) : ConnectionScript{};
        {
            std::lock_guard lock(m_mutex);
            ++m_accepted;
        }
        m_changed.notify_all();
        m_connections.emplace_back([this, fd, script] {
            serve(fd, script);
            ::close(fd);
        });
    }
}

void ConcurrentTlsServer::serve(int fd, const ConnectionScript& script) {
    if (script.step == ConnectionStep::TurnAway ||
        script.step == ConnectionStep::HoldThenTurnAway) {
        if (script.step == ConnectionStep::HoldThenTurnAway) waitAtGate();
        resetOnClose(fd);
        return;
    }
    setReceiveTimeout(fd, kPollStep);
    SSL* ssl = SSL_new(m_context);
    SSL_set_fd(ssl, fd);
    const auto giveUp = std::chrono::steady_clock::now() + kHangGuard;
    int status = 0;
    while ((status = SSL_accept(ssl)) != 1) {
        if (SSL_get_error(ssl, status) != SSL_ERROR_WANT_READ || m_stop ||
            std::chrono::steady_clock::now() > giveUp) {
            break;
        }
    }
    std::string record;
    if (status == 1 && readRecord(ssl, &record)) {
        startHolding(record);
        if (script.step == ConnectionStep::HoldThenReply) waitAtGate();
        // Counted as answered before the reply leaves, so that the client's next exchange can
        // never be seen together with this one.
        stopHolding(record);
        if (script.step != ConnectionStep::HangUp) {
            SSL_write(ssl, script.reply.data(), static_cast<int>(script.reply.size()));
        }
        SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
}

// True once a whole record arrived; false when the client stopped sending or the test ended.
bool ConcurrentTlsServer::readRecord(SSL* ssl, std::string* record) {
    const auto giveUp = std::chrono::steady_clock::now() + kHangGuard;
    char buffer[1024];
    while (record->size() < m_recordLength && !m_stop &&
           std::chrono::steady_clock::now() < giveUp) {
        const int wanted =
            static_cast<int>(std::min(sizeof buffer, m_recordLength - record->size()));
        const int n = SSL_read(ssl, buffer, wanted);
        if (n > 0) {
            record->append(buffer, static_cast<std::size_t>(n));
        } else if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) {
            break;
        }
    }
    return record->size() == m_recordLength;
}

void ConcurrentTlsServer::waitAtGate() {
    std::unique_lock lock(m_mutex);
    const auto guard = std::chrono::steady_clock::now() + kHangGuard;
    while (!m_gateOpen && !m_stop) {
        auto until = guard;
        if (m_gateDeadline != std::chrono::steady_clock::time_point{}) {
            until = std::min(until, m_gateDeadline);
        }
        if (m_changed.wait_until(lock, until) == std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= until) {
            m_gateOpen = true;
            m_changed.notify_all();
        }
    }
}

void ConcurrentTlsServer::startHolding(const std::string& record) {
    {
        std::lock_guard lock(m_mutex);
        m_records.push_back(record);
        if (m_gateDeadline == std::chrono::steady_clock::time_point{}) {
            m_gateDeadline = std::chrono::steady_clock::now() + m_window;
        }
        ++m_heldCount;
        const std::size_t identical = ++m_held[record];
        m_mostHeld = std::max(m_mostHeld, m_heldCount);
        m_mostIdentical = std::max(m_mostIdentical, identical);
        if (m_openWhenHolding != 0 && m_heldCount >= m_openWhenHolding) m_gateOpen = true;
    }
    m_changed.notify_all();
}

void ConcurrentTlsServer::stopHolding(const std::string& record) {
    std::lock_guard lock(m_mutex);
    --m_heldCount;
    if (--m_held[record] == 0) m_held.erase(record);
}

}  // namespace velquor::provisioning::testing
