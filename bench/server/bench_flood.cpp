// kestod under a connection flood: 32 loopback addresses each hold as many connections as one
// address may on every port (the defaults: 128 each, 4,096 a port), first idle (no TLS byte),
// then each sending the first bytes of a handshake and stalling, then each sending a whole
// ClientHello and stalling once the server has answered it. Printed: kestod's resident
// memory before and under each flood, and how 31 clients from other addresses fare meanwhile
// (logins and device requests served, the slowest exchange), then a 300-MAC batch from one
// logged-in address (12 in flight) with the rows left without a reply, and 5 logins from new
// addresses. Last, at --max-connections 512 --max-per-peer 16, 32 addresses x 16 connections
// that finish their handshake and send nothing, with the same batch and logins after.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_target.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/serving/kesto_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velquor::testing::ClientOptions;
using velquor::testing::KestodFixture;
using velquor::testing::KestoPeer;

// "VmRSS" or "VmHWM" of a process, in kB.
long memoryOf(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

enum class Flood { Idle, FirstBytes, WholeHello };

// The start of a ClientHello record that promises more bytes than follow.
const std::string kHandshakeStart("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);

std::vector<int> flood(const KestodFixture& server, Flood kind) {
    const velquor::server::ServeSettings defaults;
    const std::string bytes = kind == Flood::Idle         ? std::string()
                              : kind == Flood::FirstBytes ? kHandshakeStart
                                                          : velquor::testing::clientHello();
    std::vector<int> held;
    for (const std::uint16_t port : server.ports()) {
        for (int address = 1; address <= 32; ++address) {
            const ClientOptions from{.sourceAddress = "127.0.4." + std::to_string(address)};
            for (std::size_t i = 0; i < defaults.maxConnectionsPerPeer; ++i) {
                const int fd = velquor::testing::connectTcp(server.address(), port, from);
                if (fd < 0) continue;
                if (!bytes.empty()) ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                held.push_back(fd);
            }
        }
    }
    return held;
}

std::size_t lineCount(const std::string& log) {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
}

// A batch of 300 device requests from one logged-in address, 12 in flight (under the 16 a
// peer may hold in the last flood, with the connections the server is still closing), then 5 logins
// from new addresses: the rows left unknown (sent, no reply) or refused, and the logins that got
// in. Met when no row is unknown and every login got in.
constexpr int kRows = 300;
// The log lines of a batch probe's own requests: its login, its rows, the 5 logins.
constexpr std::size_t kBatchLines = 1 + kRows + 5;

bool batchProbe(const KestodFixture& server, const std::string& phase) {
    constexpr int kInFlight = 12;
    const KestoPeer technician(server, "127.0.9.100");
    const bool loggedIn = technician.login("chief", server.chiefPassword()) == "YES";
    std::vector<std::string> replies(kRows);
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kInFlight; ++sender) {
        senders.emplace_back([&, sender] {
            for (int row = sender; row < kRows; row += kInFlight) {
                replies[row] = technician.device(
                    "ADD", velquor::testing::macFor(phase + " batch " + std::to_string(row)), "srv",
                    "chief");
            }
        });
    }
    for (auto& sender : senders) sender.join();
    const auto unknown = std::count(replies.begin(), replies.end(), "<no reply>");
    const auto yes = std::count(replies.begin(), replies.end(), "YES");
    std::string others;
    for (const auto& reply : replies) {
        if (reply != "YES" && reply != "<no reply>" && others.find(reply) == std::string::npos) {
            others += " " + reply;
        }
    }
    int logins = 0;
    auto slowest = Clock::duration::zero();
    for (int address = 1; address <= 5; ++address) {
        const auto start = Clock::now();
        logins += KestoPeer(server, "127.0.10." + std::to_string(address))
                      .login("chief", server.chiefPassword()) == "YES";
        slowest = std::max(slowest, Clock::now() - start);
    }
    std::printf(
        "%-28s batch %d rows: %ld YES, %ld unknown, %ld other%s%s; new logins %d/5 "
        "(slowest %lld ms)\n",
        "", kRows, static_cast<long>(yes), static_cast<long>(unknown),
        static_cast<long>(kRows - yes - unknown), others.c_str(), loggedIn ? "" : " (no login)",
        logins,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
    std::fflush(stdout);
    return unknown == 0 && logins == 5;
}

void probe(const KestodFixture& server, const char* phase, long restingKb) {
    int logins = 0;
    int devices = 0;
    auto slowest = Clock::duration::zero();
    for (int address = 1; address <= 31; ++address) {
        const KestoPeer peer(server, "127.0.9." + std::to_string(address));
        auto start = Clock::now();
        logins += peer.login("chief", server.chiefPassword()) == "YES";
        slowest = std::max(slowest, Clock::now() - start);
        start = Clock::now();
        devices += peer.device("ADD", velquor::testing::macFor(phase + std::to_string(address)),
                               "srv", "chief") == "YES";
        slowest = std::max(slowest, Clock::now() - start);
    }
    const long rss = memoryOf(server.pid(), "VmRSS");
    std::printf(
        "%-28s %8ld kB  (+%ld kB)   logins %2d/31   device requests %2d/31   slowest %lld ms\n",
        phase, rss, rss - restingKb, logins, devices,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
    std::fflush(stdout);
}

// 32 addresses x 16 connections on the login and device ports that finish their handshake and
// send nothing, at --max-connections 512 --max-per-peer 16: they fill both ports for anyone
// who has not logged in lately.
bool silentAfterHandshake() {
    KestodFixture server({.serveArguments = {"--max-connections", "512", "--max-per-peer", "16",
                                             "--deadline-ms", "600000"}});
    std::printf(
        "\nat --max-connections 512 --max-per-peer 16: 32 addresses x 16 connections "
        "silent after their handshake, on the login and device ports\n");
    const auto linesBefore = lineCount(server.log());
    const auto floodStart = Clock::now();
    std::vector<velquor::testing::HeldTls> held;
    int handshakes = 0;
    for (const std::uint16_t port : {server.loginPort(), server.devicePort()}) {
        for (int address = 1; address <= 32; ++address) {
            const ClientOptions from{.sourceAddress = "127.0.5." + std::to_string(address),
                                     .timeout = 3s};
            for (int i = 0; i < 16; ++i) {
                held.emplace_back(server.address(), port, server.caCertPath().string(), from);
                handshakes += held.back().handshakeDone();
            }
        }
    }
    std::printf("%-28s %d of %zu handshakes done\n", "silent after handshake", handshakes,
                held.size());
    const bool served = batchProbe(server, "silent after handshake");
    held.clear();
    std::this_thread::sleep_for(500ms);
    const auto lines = lineCount(server.log()) - linesBefore - kBatchLines;
    const double seconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
    std::printf("%-28s %8zu lines in %.1f s: %.0f per 10 s (target <= 200)\n", "  its log", lines,
                seconds, lines * 10 / std::max(seconds, 10.0));
    return velquor::bench::reportTarget("batch and new logins, silent after handshake",
                                        served ? 1 : 0, velquor::bench::Goal::AtLeast, 1);
}

}  // namespace

int main() {
    bool met = true;
    // The flood's connections outlive the run: the worst case, no deadline frees them.
    KestodFixture server({.serveArguments = {"--handshake-ms", "600000"}});
    std::this_thread::sleep_for(200ms);
    const long resting = memoryOf(server.pid(), "VmRSS");
    std::printf("kestod under 32 addresses x 128 connections on each of its 3 ports\n");
    std::printf("%-28s %8ld kB\n", "resting", resting);
    for (const Flood kind : {Flood::Idle, Flood::FirstBytes, Flood::WholeHello}) {
        const auto linesBefore = lineCount(server.log());
        const auto floodStart = Clock::now();
        auto held = flood(server, kind);
        std::this_thread::sleep_for(500ms);  // kestod takes them in its own time
        const char* phase = kind == Flood::Idle         ? "idle, no TLS byte"
                            : kind == Flood::FirstBytes ? "first bytes, stalled"
                                                        : "whole ClientHello, stalled";
        probe(server, phase, resting);
        met &= velquor::bench::reportTarget(std::string("batch and new logins, ") + phase,
                                            batchProbe(server, phase) ? 1 : 0,
                                            velquor::bench::Goal::AtLeast, 1);
        for (const int fd : held) ::close(fd);
        std::this_thread::sleep_for(500ms);
        // The probes' own requests are a line each; the rest is what the flood cost the log.
        const auto lines = lineCount(server.log()) - linesBefore - 2 * 31 - kBatchLines;
        const double seconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
        std::printf("%-28s %8zu lines in %.1f s: %.0f per 10 s (target <= 200)\n", "  its log",
                    lines, seconds, lines * 10 / std::max(seconds, 10.0));
    }
    std::printf("%-28s %8ld kB (peak %ld kB)\n", "after", memoryOf(server.pid(), "VmRSS"),
                memoryOf(server.pid(), "VmHWM"));
    met &= silentAfterHandshake();
    return met ? 0 : 1;
}
