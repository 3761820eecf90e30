// The parts of one exchange with the Kesto provisioning server, shared by the files that build
// it: the connection (channel_connect.cpp), the TLS handshake and certificate checks
// (channel_handshake.cpp) and the record and reply (provisioning_channel.cpp).
#pragma once

#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "provisioning/provisioning_channel.h"
#include "settings/kesto_settings.h"
#include "wire/wire_records.h"

namespace velquor::provisioning::channel {

using Clock = std::chrono::steady_clock;

// The diagnostic lines, byte for byte; they are what an operator greps for.
inline constexpr const char* kNoContext = "ctx == NULL\n";
inline constexpr const char* kCaLoadFailed = "Handle failed load here \n";
inline constexpr const char* kNoConnection = "bio ==NULL\n";
inline constexpr const char* kConnectFailed = "BIO_do_connect(bio)NULL<=0\n";
inline constexpr const char* kVerificationFailed = "Handle the failed verification \n";
inline constexpr const char* kWriteFailed = "write retry error\n";
inline constexpr const char* kClosedWithoutReply = "read_n == 0\n";
inline constexpr const char* kReadFailed = "retry error\n";

// Why an exchange ended early: the line printed (none when nullptr), the reason kept for
// lastError() and lastErrorPhrase(), and whether it was a time-out.
struct Failure {
    const char* diagnostic;
    std::string reason;
    bool timedOut = false;
    support::Phrase phrase{};  // reason as the window words it; empty for a plain text
};
using MaybeFailure = std::optional<Failure>;

// A failure whose reason is phrase, in English and as the window words it.
inline Failure wordedFailure(const char* diagnostic, support::Phrase phrase,
                             bool timedOut = false) {
    std::string reason = phrase.english();
    return Failure{diagnostic, std::move(reason), timedOut, std::move(phrase)};
}

// What the handshake's callbacks leave for the exchange: the latest session ticket and the
// names the server's own certificate carries (for a reason that names both sides).
struct HandshakeNotes {
    SSL_SESSION* newSession = nullptr;
    std::vector<std::string> presentedNames;
    // It has no subjectAltName: presentedNames is its common name, which is never checked.
    bool namedOnlyByCommonName = false;
};

// The queued OpenSSL errors as one line, emptying the queue.
std::string openSslErrors();
// "5 s", or "1500 ms" when not whole seconds.
std::string seconds(std::chrono::milliseconds duration);
// The address as the resolver and the certificate check want it: an IPv6 one without brackets.
std::string bareAddress(const std::string& address);
// A socket BIO that never raises SIGPIPE.
const BIO_METHOD* quietSocketMethod();
bool wantsIo(int sslError);
// Waits until fd is ready for what TLS (or connect) asked for; false on time-out, error or a
// stop request.
bool waitFor(int fd, int sslError, Clock::time_point until, const std::stop_token& stop);

// One address a server's name stands for.
struct ResolvedAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};
// The addresses of a name (or of an address given as such) for a port, in the order to try
// them; empty with *error set when there are none.
using Resolver = std::function<std::vector<ResolvedAddress>(
    const std::string& name, std::uint16_t port, std::string* error)>;
// Puts another resolver in place of the system's (nullptr: the system's again), so that a test
// can give a name addresses of its choosing; and forgets which addresses failed lately.
void setResolverForTests(Resolver resolver);
void forgetFailedAddresses();
// How long an address that failed is tried last, and the memory of failures made older by
// `by`, as if that time had passed (for tests).
Clock::duration failureRememberedFor();
void ageFailedAddresses(Clock::duration by);
// Drops what connect() kept for the socket to fail over with; the exchange's end.
void releaseFailover(int fd);

// Makes the client context: TLS 1.2 at least, the peer must verify, trust only the endpoint's
// CA file (or fails with its caProblem when the lookup found none).
MaybeFailure makeContext(const KestoEndpoint& endpoint, SSL_CTX** out);
std::string commonName(const X509_NAME* name);
// The DNS names and addresses a certificate is issued for; its common name when it has none.
std::vector<std::string> certificateNames(X509* certificate);

// One connection: socket, TLS object and the deadline they share, and the steps of the exchange
// over them. Each step returns the failure that ends the exchange, if any.
struct Exchange {
    Exchange(const KestoEndpoint& endpoint, std::uint16_t port, const ChannelTimeouts& timeouts,
             const std::stop_token& stop)
        : endpoint(endpoint), port(port), timeouts(timeouts), stop(stop) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const KestoEndpoint& endpoint;
    std::uint16_t port;
    const ChannelTimeouts& timeouts;
    const std::stop_token& stop;
    Clock::time_point start = Clock::now();
    // Connection and handshake share the connect time-out; the record and its reply then get
    // the exchange time-out of their own.
    Clock::time_point deadline = start + timeouts.connect;
    std::string address = bareAddress(endpoint.address);
    std::string target = settings::hostAndPort(address, port);  // for messages
    int fd = -1;
    SSL* ssl = nullptr;
    HandshakeNotes notes;

    ~Exchange() {
        if (ssl != nullptr) SSL_free(ssl);
        if (notes.newSession != nullptr) SSL_SESSION_free(notes.newSession);
        if (fd >= 0) {
            releaseFailover(fd);
            ::close(fd);
        }
    }

    // TCP connection to the first of the server's addresses that answers: the next address is
    // tried when one fails, or alongside it when it has not answered within a short delay,
    // and addresses that failed lately go last. Until the server's first byte, the socket
    // also fails over during the handshake: an address that closes the connection, or says
    // nothing within its share of the connect time-out, is left for the next one, which gets
    // the bytes sent so far (nothing of the record is sent before the handshake ends).
    MaybeFailure connect();
    // The TLS object over the socket, bound to the server's identity, offering a session to
    // resume when there is one.
    MaybeFailure prepareTls(SSL_CTX* context, SSL_SESSION* resumable);
    // Verification happens inside the handshake, so an unverified server never sees a byte of
    // the record.
    MaybeFailure handshake();
    MaybeFailure verificationFailure() const;
    // The whole record, however many writes it takes.
    MaybeFailure write(const char* bytes, std::size_t length);
    // One reply of at most kReplyBufferSize bytes into a zeroed buffer.
    MaybeFailure read(char (&reply)[wire::kReplyBufferSize], std::size_t* received);
    // Reads until into holds wanted bytes or the server closes the connection after at least
    // one byte (a short reply: the caller sees fewer).
    MaybeFailure readUpTo(std::string& into, std::size_t wanted);

    // The ways a reply does not come, for read and readUpTo alike.
    Failure closedWithoutReply() const;
    Failure readingFailed() const;
    Failure noReplyInTime() const;
};

}  // namespace velquor::provisioning::channel
