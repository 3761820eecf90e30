// Password guessing at one account, against a real kestod on loopback; every guess is a TLS
// login from its own address, each attacker guessing as fast as the server answers.
//
// 1. Guesses checked in an hour from 1, 20 and 200 networks (one address in each /24), without
//    and with the guessing limit, and how many attempts the server answered per second. An
//    hour is played in 12 s: everything the limit uses scales with the failed-login window,
//    which is set to 5 minutes / 300. The attack runs 10 s of it, so that the last replies
//    too come within the hour. The bound: 60 an hour plus one per network.
// 2. The owner's login from 5 new addresses of her own /24 while 3 and then 40 other networks
//    guess at her name, at the default settings: each must be in within 2 s.
//
// VELQUOR_KESTOD_BINARY runs another kestod build, for before-and-after figures; on
// VELQUOR_TEST_STORE=postgres the answered rate is what the store's transactions cost.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_target.h"
#include "guessing_run.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"

namespace {

using namespace std::chrono_literals;
using velquor::testing::GuessingRun;
using velquor::testing::KestodFixture;
using velquor::testing::KestoPeer;
using velquor::testing::otherNetworks;
using Clock = std::chrono::steady_clock;

constexpr int kScale = 300;  // one hour in 12 s
constexpr auto kHour = std::chrono::milliseconds(3'600'000 / kScale);
constexpr auto kWindow = std::chrono::milliseconds(300'000 / kScale);
constexpr auto kAttack = std::chrono::seconds(10);

struct HourFigures {
    long checked = 0;
    long heldBack = 0;
    double answeredPerSecond = 0;
};

HourFigures guessFor(int networks, bool limited) {
    KestodFixture server(
        {.serveArguments = {"--failed-login-window-ms", std::to_string(kWindow.count()),
                            "--max-failed-logins-per-account", limited ? "60" : "1000000",
                            "--max-per-peer", "1000", "--workers", "8"}});
    GuessingRun run(server, otherNetworks(networks), "chief");
    std::this_thread::sleep_for(kAttack);
    run.stop();
    if (run.unanswered.load() > 0) {
        std::fprintf(stderr, "%ld guesses got no reply\n", run.unanswered.load());
    }
    const long answered = run.checked + run.heldBack;
    return {run.checked, run.heldBack,
            static_cast<double>(answered) / std::chrono::duration<double>(kAttack).count()};
}

// The slowest of 5 logins of the owner from new addresses of her /24 during a guessing run,
// in ms, and how many got in; once the run has spent the shared checks.
std::pair<long, int> ownerDuring(int networks, long* checked) {
    KestodFixture server({.serveArguments = {"--max-per-peer", "1000"}});
    GuessingRun run(server, otherNetworks(networks), "chief");
    run.awaitHeldBack(200);
    long slowest = 0;
    int in = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const KestoPeer owner(server, "127.0.0." + std::to_string(20 + attempt));
        const auto start = Clock::now();
        in += owner.login("chief", server.chiefPassword()) == "YES" ? 1 : 0;
        slowest = std::max<long>(
            slowest,
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }
    run.stop();
    *checked = run.checked;
    return {slowest, in};
}

}  // namespace

int main() {
    using velquor::bench::Goal;
    using velquor::bench::reportTarget;
    bool met = true;
    std::printf("guesses checked at one account in %lld s of an hour played in %lld ms\n",
                static_cast<long long>(kAttack.count()), static_cast<long long>(kHour.count()));
    std::printf("%-9s %10s %10s %10s %12s %12s\n", "networks", "no limit", "limited", "held back",
                "answered/s", "(no limit)");
    for (const int networks : {1, 20, 200}) {
        const auto before = guessFor(networks, false);
        const auto after = guessFor(networks, true);
        std::printf("%-9d %10ld %10ld %10ld %12.0f %12.0f\n", networks, before.checked,
                    after.checked, after.heldBack, after.answeredPerSecond,
                    before.answeredPerSecond);
        std::fflush(stdout);
        met &=
            reportTarget("guesses/hour at one account, " + std::to_string(networks) + " networks",
                         static_cast<double>(after.checked), Goal::AtMost, 60.0 + networks);
    }
    std::printf("\nthe owner's login from 5 new addresses of her /24 during a guessing run\n");
    std::printf("%-9s %12s %8s %12s %8s\n", "networks", "slowest ms", "in", "checked", "bound");
    for (const int networks : {3, 40}) {
        long checked = 0;
        const auto [slowest, in] = ownerDuring(networks, &checked);
        std::printf("%-9d %12ld %6d/5 %12ld %8d\n", networks, slowest, in, checked, 60 + networks);
        std::fflush(stdout);
        met &= reportTarget(
            "owner's slowest login, " + std::to_string(networks) + " guessing networks (ms)",
            static_cast<double>(slowest), Goal::AtMost, 2000);
        met &= reportTarget("owner's logins in, " + std::to_string(networks) + " networks", in,
                            Goal::AtLeast, 5);
    }
    return met ? 0 : 1;
}
