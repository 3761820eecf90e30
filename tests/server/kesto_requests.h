// Request helpers for the server tests: build a record with the product's own builders and
// exchange it with a running kestod as one peer address, returning the reply text.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kestod_fixture.h"
#include "tls_test_client.h"
#include "wire/wire_records.h"

namespace velquor::testing {

// A MAC address of its own for each label (12 lower-case digits, unicast, locally
// administered), so that a test can name its devices and find them in listings and logs.
inline std::string macFor(std::string_view label) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (const unsigned char c : label) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char text[16];
    std::snprintf(text, sizeof text, "02%010llx",
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFULL));
    return text;
}

inline std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// The request log is written after each reply; waits (10 s at most) until it holds the needle
// `count` times.
inline std::string logWith(const KestodFixture& server, const std::string& needle,
                           std::size_t count = 1) {
    std::string log;
    for (int i = 0; i < 500; ++i) {
        log = server.log();
        if (occurrences(log, needle) >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log;
}

// For a test about something other than the server's deadlines, such as many clients racing
// for one row: a busy machine under the sanitizers may take many seconds over a burst of
// handshakes, which the default deadlines would cut short.
inline constexpr std::chrono::minutes kRoomyDeadline{5};

inline std::vector<std::string> withRoomyDeadlines(std::vector<std::string> serveArguments) {
    const std::string milliseconds = std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(kRoomyDeadline).count());
    serveArguments.insert(serveArguments.end(),
                          {"--handshake-ms", milliseconds, "--deadline-ms", milliseconds});
    return serveArguments;
}

class KestoPeer {
public:
    // replyWait: how long to wait for the reply once the handshake is done.
    explicit KestoPeer(const KestodFixture& server, std::string sourceAddress = "127.0.0.1",
                       std::chrono::milliseconds replyWait = ClientOptions{}.timeout)
        : m_server(server) {
        m_options.sourceAddress = std::move(sourceAddress);
        m_options.timeout = replyWait;
    }

    const std::string& sourceAddress() const { return m_options.sourceAddress; }
    std::string login(const std::string& user, const std::string& password) const {
        auto record = wire::buildLoginRequest({user, password});
        return send(m_server.loginPort(), wire::recordBytes(record.value()));
    }
    std::string account(const std::string& operation, const std::string& user,
                        const std::string& password = {}) const {
        auto record = wire::buildAccountRequest({operation, user, password});
        return send(m_server.accountPort(), wire::recordBytes(record.value()));
    }
    std::string device(const std::string& operation, const std::string& mac,
                       const std::string& serverText, const std::string& user) const {
        auto record = wire::buildDeviceRequest({operation, mac, serverText, user});
        return send(m_server.devicePort(), wire::recordBytes(record.value()));
    }
    // The reply to raw bytes on a port; "<no reply>" when the server closed without one.
    std::string send(std::uint16_t port, std::string_view bytes) const {
        const auto outcome =
            tlsExchange(m_server.address(), port, m_server.caCertPath().string(), bytes, m_options);
        if (!outcome.handshakeDone) return "<" + outcome.error + ">";
        return outcome.replied ? outcome.reply : "<no reply>";
    }

private:
    const KestodFixture& m_server;
    ClientOptions m_options;
};

}  // namespace velquor::testing
