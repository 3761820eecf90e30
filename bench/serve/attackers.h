// An attack held on a server while phones fetch: connections that drip one byte of a request
// that never ends every interval (HTTP), and connections that start a TLS handshake and say
// nothing more (HTTPS). An attacker whose connection the server closes opens another at its
// next turn, so the pressure stays while the attack runs. One thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace velquor::bench {

struct AttackPlan {
    std::uint16_t httpPort = 0;
    std::uint16_t httpsPort = 0;
    std::size_t dripConnections = 10000;
    unsigned dripAddresses = 100;  // from loopback block 2
    std::size_t silentHandshakes = 1000;
    unsigned silentAddresses = 10;  // from loopback block 4
    std::chrono::milliseconds dripInterval{2000};
};

struct AttackCounts {
    std::size_t held = 0;            // connections open now
    std::size_t opened = 0;          // connections opened since the start
    std::size_t closedByServer = 0;  // of them, closed (or answered) by the server
};

class Attack {
public:
    explicit Attack(const AttackPlan& plan);
    ~Attack();  // stops it and closes its connections
    Attack(const Attack&) = delete;
    Attack& operator=(const Attack&) = delete;

    AttackCounts counts() const;

private:
    void run(std::stop_token stop);

    AttackPlan m_plan;
    std::atomic<std::size_t> m_held{0};
    std::atomic<std::size_t> m_opened{0};
    std::atomic<std::size_t> m_closedByServer{0};
    std::jthread m_thread;
};

}  // namespace velquor::bench
