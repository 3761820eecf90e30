// What the files of KestoServer share: one client connection as the event loop and the
// workers see it, and the socket helpers both use.
#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "server/kesto_server.h"

namespace velquor::server {

inline void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The peer's address as text ("192.0.2.7", "2001:db8::1").
std::string peerAddressOf(const sockaddr_storage& address);

inline int pollTimeoutUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60'000));
}

struct KestoServer::Connection {
    enum class Stage { Handshake, Record };

    int fd = -1;
    SSL* ssl = nullptr;
    std::string peer;
    RequestKind kind = RequestKind::Login;
    std::uint16_t port = 0;
    Clock::time_point deadline;
    Clock::time_point handshakeDeadline;
    Stage stage = Stage::Handshake;
    bool wantsWrite = false;
    bool done = false;           // handed on or dropped; the loop forgets it
    bool trailingBytes = false;  // more bytes than the record: malformed
    std::string record;          // what was received so far

    ~Connection() {
        if (ssl != nullptr) SSL_free(ssl);
        closeQuietly(fd);
    }
};

}  // namespace velquor::server
