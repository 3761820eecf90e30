// LatencyProxy: a TCP forwarder on loopback that holds every byte for a set time in each
// direction before passing it on, so a local server looks as far away as a WAN link. It needs no
// privileges (no traffic shaping), listens on a free port, and runs on threads of the program
// that owns it: it stops, closing every connection, when the object goes away.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace velquor::testing {

// How the jitter is shared out among connections.
enum class JitterOrder {
    Random,  // each connection draws its own
    // In each round of kOvertakingRound connections the first gets all of it and each later
    // one a step less, so a connection opened after another, in the same round, overtakes it:
    // exchanges that must not be in flight together end in the wrong order every time.
    LaterFirst,
};

class LatencyProxy {
public:
    static constexpr std::size_t kOvertakingRound = 8;

    // Forwards 127.0.0.1:port() to targetAddress:targetPort, each direction delayed by oneWay
    // (a round trip costs twice that). With jitter, each connection gets its own delay, up to
    // that much longer, so exchanges started in one order finish in another. Throws
    // std::runtime_error when it cannot listen.
    LatencyProxy(std::string targetAddress, std::uint16_t targetPort,
                 std::chrono::milliseconds oneWay,
                 std::chrono::milliseconds jitter = std::chrono::milliseconds(0),
                 JitterOrder order = JitterOrder::Random);
    ~LatencyProxy();
    LatencyProxy(const LatencyProxy&) = delete;
    LatencyProxy& operator=(const LatencyProxy&) = delete;

    std::uint16_t port() const { return m_port; }
    // Connections accepted so far.
    std::size_t connections() const { return m_accepted.load(); }
    // Connections open just now.
    std::size_t openNow() const { return m_open.load(); }
    // The most connections that were open at the same time.
    std::size_t mostAtOnce() const { return m_mostAtOnce.load(); }

private:
    struct Relay {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void acceptLoop();
    void relay(int client, int upstream, std::chrono::milliseconds delay, Relay& self);
    void reapFinished();
    std::chrono::milliseconds delayOf(std::size_t connection);

    std::string m_targetAddress;
    std::uint16_t m_targetPort;
    std::chrono::milliseconds m_oneWay;
    std::chrono::milliseconds m_jitter;
    JitterOrder m_order;
    std::minstd_rand m_random;  // the acceptor's alone
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::size_t> m_accepted{0};
    std::atomic<std::size_t> m_open{0};
    std::atomic<std::size_t> m_mostAtOnce{0};
    std::mutex m_relaysMutex;
    std::list<std::unique_ptr<Relay>> m_relays;
    std::thread m_acceptor;
};

}  // namespace velquor::testing
