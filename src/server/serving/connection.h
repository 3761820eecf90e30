// What the files of KestoServer share: one client connection as the event loop and the
// workers see it, and the socket helpers both use.
#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "server/serving/kesto_server.h"

namespace velquor::server {

inline void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

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
    std::string group;  // what the per-address rules count it in (peer_group.h)
    RequestKind kind = RequestKind::Login;
    std::uint16_t port = 0;
    Clock::time_point deadline;
    Clock::time_point handshakeDeadline;
    // When bytes last came, or when it was accepted: the longest silent is closed first when
    // its port needs room. The TLS state is made when the first bytes come, so a connection
    // that sends nothing costs its descriptor and this structure only.
    Clock::time_point lastBytes;
    Stage stage = Stage::Handshake;
    bool wantsWrite = false;
    bool done = false;  // handed on or dropped; the loop forgets it
    // A handshake thread has it: the loop leaves it alone until it takes it back.
    bool withHandshaker = false;
    // A phone's connection whose address is at its handshake cap, or its port at its
    // handshakes under way: left alone until a handshake ends.
    bool waitingForRoom = false;
    // The server has answered its client's hello: what is left of its handshake is cheap and
    // ends a request, so the handshake threads take it before a new one.
    bool helloAnswered = false;
    bool trailingBytes = false;     // more bytes than the record: malformed
    const char* failure = nullptr;  // why it is dropped, where the stage does not say it
    std::string record;             // what was received so far

    ~Connection() {
        if (ssl != nullptr) SSL_free(ssl);
        closeQuietly(fd);
    }
};

}  // namespace velquor::server
