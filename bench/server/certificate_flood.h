// Requests with certificates the server must refuse, sent at a steady rate beside a benchmark:
// event loops on non-blocking sockets (epoll), each starting its share of the connections on
// a schedule and driving every handshake and request without a thread per connection, so the
// rate is the one asked for however slowly the server answers. What was asked, started and
// answered is measured, to be printed beside the figures it disturbs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "tls_phones.h"

namespace velquor::bench {

struct FloodCount {
    double seconds = 0;
    std::size_t started = 0;
    std::size_t answered = 0;  // a whole HTTP answer came back
    std::size_t failed = 0;    // closed, refused or timed out without one
    std::size_t behind = 0;    // starts skipped because the most in flight were in flight
    double answeredPerSecond() const { return seconds > 0 ? answered / seconds : 0; }
};

class CertificateFlood {
public:
    // Starts sending at once: perSecond requests in all, from `loops` event loops, each
    // request one of senders' (cycled), to 127.0.0.1:port.
    CertificateFlood(const std::vector<TlsPhone>& senders, std::uint16_t port,
                     std::size_t perSecond, unsigned loops);
    ~CertificateFlood();
    CertificateFlood(const CertificateFlood&) = delete;
    CertificateFlood& operator=(const CertificateFlood&) = delete;

    // Stops starting requests, waits for those in flight (a few seconds at most) and counts.
    FloodCount stop();

private:
    void loopMain(std::stop_token stop, unsigned index);

    const std::vector<TlsPhone>& m_senders;
    std::uint16_t m_port;
    double m_perLoop;
    unsigned m_loops;
    std::atomic<std::size_t> m_started{0};
    std::atomic<std::size_t> m_answered{0};
    std::atomic<std::size_t> m_failed{0};
    std::atomic<std::size_t> m_behind{0};
    std::chrono::steady_clock::time_point m_begun;
    std::vector<std::jthread> m_threads;
    bool m_stopped = false;
    FloodCount m_count;
};

}  // namespace velquor::bench
