// The refused certificates' flood; see certificate_flood.h.
#include "certificate_flood.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>

namespace velquor::bench {
namespace {

using Steady = std::chrono::steady_clock;

// A loop's connections at once; past it a start is skipped and counted as behind.
constexpr std::size_t kMostInFlightPerLoop = 1024;
// A request that has not been answered by then is counted failed.
constexpr std::chrono::seconds kRequestDeadline{10};

struct Request {
    const TlsPhone* sender = nullptr;
    int fd = -1;
    SSL* ssl = nullptr;
    bool handshaken = false;
    bool sent = false;
    std::string answer;
    Steady::time_point deadline;
    ~Request() {
        if (ssl != nullptr) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
};

enum class Step { Waiting, Answered, Failed };

// Takes the request as far as it goes without waiting; sets what it waits for.
Step advance(Request& request, std::uint32_t& waitFor) {
    auto waiting = [&](int result) {
        const int error = SSL_get_error(request.ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            waitFor = error == SSL_ERROR_WANT_WRITE ? EPOLLOUT : EPOLLIN;
            return Step::Waiting;
        }
        ERR_clear_error();
        return Step::Failed;
    };
    if (!request.handshaken) {
        const int rc = SSL_connect(request.ssl);
        if (rc != 1) return waiting(rc);
        request.handshaken = true;
    }
    if (!request.sent) {
        const std::string text = "GET " + request.sender->path +
                                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        const int rc = SSL_write(request.ssl, text.data(), static_cast<int>(text.size()));
        if (rc <= 0) return waiting(rc);
        request.sent = true;
    }
    char buffer[4096];
    for (;;) {
        const int rc = SSL_read(request.ssl, buffer, sizeof buffer);
        if (rc > 0) {
            request.answer.append(buffer, static_cast<std::size_t>(rc));
            continue;
        }
        const int error = SSL_get_error(request.ssl, rc);
        if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL ||
            error == SSL_ERROR_SSL) {
            ERR_clear_error();
            return request.answer.find("\r\n\r\n") != std::string::npos ? Step::Answered
                                                                        : Step::Failed;
        }
        return waiting(rc);
    }
}

std::unique_ptr<Request> open(SSL_CTX* context, const TlsPhone& sender, std::uint16_t port) {
    auto request = std::make_unique<Request>();
    request->sender = &sender;
    request->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (request->fd < 0) return nullptr;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = sender.source;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(request->fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return nullptr;
    if (::connect(request->fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
        return nullptr;
    }
    request->ssl = SSL_new(context);
    SSL_set_fd(request->ssl, request->fd);
    SSL_use_certificate(request->ssl, sender.identity.certificate.get());
    SSL_use_PrivateKey(request->ssl, sender.identity.key.get());
    request->deadline = Steady::now() + kRequestDeadline;
    return request;
}

}  // namespace

CertificateFlood::CertificateFlood(const std::vector<TlsPhone>& senders, std::uint16_t port,
                                   std::size_t perSecond, unsigned loops)
    : m_senders(senders),
      m_port(port),
      m_perLoop(static_cast<double>(perSecond) / loops),
      m_loops(loops),
      m_begun(Steady::now()) {
    for (unsigned i = 0; i < loops; ++i) {
        m_threads.emplace_back([this, i](std::stop_token stop) { loopMain(stop, i); });
    }
}

CertificateFlood::~CertificateFlood() {
    stop();
}

FloodCount CertificateFlood::stop() {
    if (m_stopped) return m_count;
    m_stopped = true;
    const double seconds = std::chrono::duration<double>(Steady::now() - m_begun).count();
    for (auto& thread : m_threads) thread.request_stop();
    m_threads.clear();
    m_count = FloodCount{seconds, m_started, m_answered, m_failed, m_behind};
    return m_count;
}

void CertificateFlood::loopMain(std::stop_token stop, unsigned index) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::unordered_map<int, std::unique_ptr<Request>> open_;
    std::size_t next = index;
    const auto begun = Steady::now();
    std::size_t startedHere = 0;
    auto settle = [&](Step step) {
        if (step == Step::Waiting) return false;
        (step == Step::Answered ? m_answered : m_failed)++;
        return true;
    };
    auto drive = [&](int fd) {
        const auto found = open_.find(fd);
        if (found == open_.end()) return;
        std::uint32_t waitFor = 0;
        const Step step = advance(*found->second, waitFor);
        if (settle(step)) {
            ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
            open_.erase(found);
            return;
        }
        epoll_event event{waitFor, {.fd = fd}};
        ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &event);
    };
    while (!stop.stop_requested() || !open_.empty()) {
        const auto now = Steady::now();
        // Starts due by now on the loop's schedule.
        const auto due = static_cast<std::size_t>(
            std::chrono::duration<double>(now - begun).count() * m_perLoop);
        while (!stop.stop_requested() && startedHere < due) {
            ++startedHere;
            if (open_.size() >= kMostInFlightPerLoop) {
                ++m_behind;
                continue;
            }
            const TlsPhone& sender = m_senders[next % m_senders.size()];
            next += m_loops;
            auto request = open(context, sender, m_port);
            ++m_started;
            if (!request) {
                ++m_failed;
                continue;
            }
            const int fd = request->fd;
            epoll_event event{EPOLLOUT, {.fd = fd}};
            ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
            open_.emplace(fd, std::move(request));
        }
        for (auto it = open_.begin(); it != open_.end();) {
            if (now < it->second->deadline) {
                ++it;
                continue;
            }
            ++m_failed;
            ::epoll_ctl(poller, EPOLL_CTL_DEL, it->first, nullptr);
            it = open_.erase(it);
        }
        epoll_event events[256];
        const int ready = ::epoll_wait(poller, events, 256, 1);
        for (int i = 0; i < ready; ++i) drive(events[i].data.fd);
    }
    ::close(poller);
    SSL_CTX_free(context);
}

}  // namespace velquor::bench
