// A password-guessing run against a real kestod, for the tests and the benchmark: one thread
// per address, each sending wrong passwords for one name as fast as the server answers, until
// stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "wait_until.h"

namespace velquor::testing {

// One address in each of count /24s besides the owner's 127.0.0.0/24.
inline std::vector<std::string> otherNetworks(int count) {
    std::vector<std::string> addresses;
    for (int n = 1; n <= count; ++n) addresses.push_back("127.0." + std::to_string(n) + ".9");
    return addresses;
}

class GuessingRun {
public:
    GuessingRun(const KestodFixture& server, const std::vector<std::string>& addresses,
                const std::string& name) {
        for (std::size_t a = 0; a < addresses.size(); ++a) {
            m_attackers.emplace_back([this, &server, address = addresses[a], name, a] {
                const KestoPeer peer(server, address);
                for (long g = 0; !m_stop; ++g) {
                    const std::string reply =
                        peer.login(name, "guess-" + std::to_string(a) + "-" + std::to_string(g));
                    auto& tally = reply == "NO"            ? checked
                                  : reply.starts_with("<") ? unanswered
                                                           : heldBack;
                    ++tally;
                }
            });
        }
    }
    ~GuessingRun() { stop(); }
    GuessingRun(const GuessingRun&) = delete;
    GuessingRun& operator=(const GuessingRun&) = delete;

    void stop() {
        m_stop = true;
        for (auto& attacker : m_attackers) {
            if (attacker.joinable()) attacker.join();
        }
    }
    // Waits for the run to have been held back n times: by then it has spent the checks that
    // go at once. The bound is only there for a fault: on a busy machine under the sanitizers
    // the attackers get a few hundred answers in well over half a minute.
    void awaitHeldBack(long n) const {
        waitUntil([&] { return heldBack >= n; }, std::chrono::minutes(2));
    }

    std::atomic<long> checked{0};     // "NO": the password was checked, and wrong
    std::atomic<long> heldBack{0};    // any other reply: not checked
    std::atomic<long> unanswered{0};  // no reply at all

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_attackers;
};

}  // namespace velquor::testing
