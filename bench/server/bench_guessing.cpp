// Password guesses per hour at one account, from 1, 20 and 200 addresses, before and after the
// per-account rule: the same kestod serves both, "before" with the rule's limit out of reach.
// An hour is played in 10 s: every time the rules use scales with the failed-login window, so
// the window is set to 5 minutes / 360, and guesses checked in the 10 s are guesses per hour.
// Every guess is a real TLS login from its own loopback address; each attacker guesses as fast
// as the server answers, for the 10 s only.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_target.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"

namespace {

using namespace std::chrono_literals;
using velquor::testing::KestodFixture;
using velquor::testing::KestoPeer;

constexpr int kScale = 360;  // one hour in 10 s
constexpr auto kHour = std::chrono::milliseconds(3'600'000 / kScale);
constexpr auto kWindow = std::chrono::milliseconds(300'000 / kScale);

struct Tally {
    std::atomic<long> checked{0};   // "NO": a password was tried
    std::atomic<long> heldBack{0};  // "RETRY"
    std::atomic<long> failed{0};    // anything else
};

// How many guesses were checked, and how many held back, in the hour.
std::pair<long, long> guessFor(int addresses, bool accountRule) {
    KestodFixture server(
        {.serveArguments = {"--failed-login-window-ms", std::to_string(kWindow.count()),
                            "--max-failed-logins-per-account", accountRule ? "20" : "1000000",
                            "--max-per-peer", "1000", "--workers", "8"}});
    Tally tally;
    const auto until = std::chrono::steady_clock::now() + kHour;
    std::vector<std::thread> attackers;
    for (int a = 0; a < addresses; ++a) {
        attackers.emplace_back([&, a] {
            const KestoPeer peer(server, "127.0.3." + std::to_string(1 + a));
            long guess = 0;
            while (std::chrono::steady_clock::now() < until && guess < 100'000) {
                const std::string reply = peer.login(
                    "chief", "guess-" + std::to_string(a) + "-" + std::to_string(guess++));
                auto& counter = reply == "NO"      ? tally.checked
                                : reply == "RETRY" ? tally.heldBack
                                                   : tally.failed;
                ++counter;
            }
        });
    }
    for (auto& attacker : attackers) attacker.join();
    if (tally.failed.load() > 0) {
        std::fprintf(stderr, "%ld guesses got neither NO nor RETRY\n", tally.failed.load());
    }
    return {tally.checked.load(), tally.heldBack.load()};
}

}  // namespace

int main() {
    std::printf("guesses per hour at one account (an hour played in %lld ms)\n",
                static_cast<long long>(kHour.count()));
    std::printf("%-10s %12s %12s %12s\n", "addresses", "before", "after", "held back");
    bool met = true;
    for (const int addresses : {1, 20, 200}) {
        const auto before = guessFor(addresses, false);
        const auto after = guessFor(addresses, true);
        std::printf("%-10d %12ld %12ld %12ld\n", addresses, before.first, after.first,
                    after.second);
        std::fflush(stdout);
        met &= velquor::bench::reportTarget(
            "guesses/hour at one account, " + std::to_string(addresses) + " addresses",
            static_cast<double>(after.first), velquor::bench::Goal::AtMost, 150);
    }
    return met ? 0 : 1;
}
