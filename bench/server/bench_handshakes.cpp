// kestod's TLS handshakes beside openssl s_server's, on the same certificate and key, in one
// run: the full handshakes per second `openssl s_time -new` reaches against each, with as many
// s_time clients at once as the machine has cores (two at least). The target: kestod at 0.8 of
// s_server's rate or better.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "bench_target.h"
#include "child_process.h"
#include "kestod_fixture.h"
#include "temp_dir.h"
#include "tls_test_client.h"

namespace {

using namespace std::chrono_literals;
using velquor::testing::shellQuote;

// Full handshakes per second from `clients` s_time processes at once, for 5 s.
double handshakeRate(const std::string& address, std::uint16_t port, const std::string& caFile,
                     unsigned clients) {
    std::string script;
    for (unsigned i = 0; i < clients; ++i) {
        script += "openssl s_time -new -time 5 -connect " + address + ":" + std::to_string(port) +
                  " -CAfile " + shellQuote(caFile) + " 2>&1 & ";
    }
    script += "wait";
    const std::string output = velquor::testing::runCommand("sh -c " + shellQuote(script));
    static const std::regex kLine(R"((\d+) connections in ([0-9.]+) real seconds)");
    double rate = 0;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), kLine);
         it != std::sregex_iterator(); ++it) {
        const double seconds = std::stod((*it)[2]);
        if (seconds > 0) rate += std::stod((*it)[1]) / seconds;
    }
    if (rate == 0) std::fprintf(stderr, "openssl s_time gave no rate:\n%s\n", output.c_str());
    return rate;
}

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

int main() {
    const unsigned clients = std::max(2u, std::thread::hardware_concurrency());
    velquor::testing::KestodFixture kestod;
    const auto dir = kestod.directory();
    const std::string ca = kestod.caCertPath().string();
    const double kestodRate = handshakeRate(kestod.address(), kestod.devicePort(), ca, clients);

    const std::uint16_t port = freePort();
    velquor::testing::ChildProcess peer(
        {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
         (dir / "server.pem").string(), "-key", (dir / "server.key").string(), "-www", "-quiet"},
        dir.parent_path() / "s_server.txt");
    for (int i = 0; i < 200; ++i) {
        const int fd = velquor::testing::connectTcp("127.0.0.1", port);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    const double peerRate = handshakeRate("127.0.0.1", port, ca, clients);

    std::printf("full TLS handshakes per second, %u openssl s_time -new clients at once\n",
                clients);
    std::printf("  %-34s %8.0f\n", "kestod (device port):", kestodRate);
    std::printf("  %-34s %8.0f\n", "openssl s_server, same certificate:", peerRate);
    const double ratio = peerRate > 0 ? kestodRate / peerRate : 0;
    std::printf("  ratio kestod / s_server: %.2f (target >= 0.80)\n", ratio);
    return velquor::bench::reportTarget("kestod / openssl s_server, full TLS handshakes", ratio,
                                        velquor::bench::Goal::AtLeast, 0.8)
               ? 0
               : 1;
}
