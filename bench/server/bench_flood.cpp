// kestod under a connection flood: 32 loopback addresses each hold as many connections as one
// address may on every port (the defaults: 128 each, 4,096 a port), first idle (no TLS byte),
// then each sending the first bytes of a handshake and stalling, then each sending a whole
// ClientHello and stalling once the server has answered it. Printed: kestod's resident
// memory before and under each flood, and how 31 clients from other addresses fare meanwhile
// (logins and device requests served, the slowest exchange). Figures only; nothing asserted.
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

// A client's first flight, made once and sent by every connection of the flood.
std::string clientHello() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(context);
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), out);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string hello(data, static_cast<std::size_t>(length));
    SSL_free(ssl);
    SSL_CTX_free(context);
    return hello;
}

std::vector<int> flood(const KestodFixture& server, Flood kind) {
    const velquor::server::ServeSettings defaults;
    const std::string bytes = kind == Flood::Idle         ? std::string()
                              : kind == Flood::FirstBytes ? kHandshakeStart
                                                          : clientHello();
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

}  // namespace

int main() {
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
        probe(server,
              kind == Flood::Idle         ? "idle, no TLS byte"
              : kind == Flood::FirstBytes ? "first bytes, stalled"
                                          : "whole ClientHello, stalled",
              resting);
        for (const int fd : held) ::close(fd);
        std::this_thread::sleep_for(500ms);
        // The probe's own requests are a line each; the rest is what the flood cost the log.
        const auto lines = lineCount(server.log()) - linesBefore - 2 * 31;
        const double seconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
        std::printf("%-28s %8zu lines in %.1f s: %.0f per 10 s (target <= 200)\n", "  its log",
                    lines, seconds, lines * 10 / std::max(seconds, 10.0));
    }
    std::printf("%-28s %8ld kB (peak %ld kB)\n", "after", memoryOf(server.pid(), "VmRSS"),
                memoryOf(server.pid(), "VmHWM"));
    return 0;
}
