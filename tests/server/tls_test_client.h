// A deliberately small TLS client for the server tests: unlike the product's channel it can
// bind its socket to another loopback address, send bytes that are not a record, trickle
// them, or send nothing, and it reports exactly what came back.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velquor::testing {

struct ClientOptions {
    std::string sourceAddress;  // e.g. "127.0.0.2" to appear as another peer; empty: any
    std::chrono::milliseconds timeout{20'000};
};

struct ExchangeOutcome {
    bool handshakeDone = false;
    bool replied = false;         // at least one byte came back
    std::string reply;            // every byte until the server closed
    bool closedByServer = false;  // the server ended the connection (with or without reply)
    std::string error;            // what went wrong on our side, if anything
};

// A plain TCP connection (blocking), optionally bound to a source address; -1 on failure.
int connectTcp(const std::string& address, std::uint16_t port, const ClientOptions& options = {});

// TLS to address:port, verifying the server against caFile and the address, then writes
// the bytes in one go and reads until the server closes or the time-out passes.
ExchangeOutcome tlsExchange(const std::string& address, std::uint16_t port,
                            const std::string& caFile, std::string_view bytes,
                            const ClientOptions& options = {});

// A TLS connection whose handshake is done and that sends nothing more until it goes: what a
// client that stalls before its record holds on the server.
class HeldTls {
public:
    HeldTls(const std::string& address, std::uint16_t port, const std::string& caFile,
            const ClientOptions& options = {});
    ~HeldTls();
    HeldTls(HeldTls&& other) noexcept;
    HeldTls(const HeldTls&) = delete;
    HeldTls& operator=(const HeldTls&) = delete;
    HeldTls& operator=(HeldTls&&) = delete;
    bool handshakeDone() const { return m_ssl != nullptr; }

private:
    void* m_context = nullptr;  // SSL_CTX, kept out of this header
    void* m_ssl = nullptr;      // SSL
    int m_fd = -1;
};

// The first flight of a TLS client, made in memory.
std::string clientHello();

// A connection that sends a whole ClientHello and then nothing: a handshake left half-open.
// It returns once the server has answered the hello (or closed), so the server holds it as a
// stalled handshake, no longer one it is still working on. Its descriptor, to be closed by the
// caller; -1 when it could not connect.
int sendHelloAndStall(const std::string& address, std::uint16_t port,
                      const ClientOptions& options = {});

// A client whose handshake goes in two steps: the hello, and the rest when the test says. In
// between the server has answered the hello and waits for it, as for a phone that is slow
// to work out its answer. With a certificate and its key when given.
class SteppedTls {
public:
    SteppedTls(const std::string& address, std::uint16_t port, const std::string& caFile,
               const std::string& certificate = {}, const std::string& key = {},
               const ClientOptions& options = {});
    ~SteppedTls();
    SteppedTls(const SteppedTls&) = delete;
    SteppedTls& operator=(const SteppedTls&) = delete;
    // Whether the hello went and the server answered it.
    bool answered() const { return m_answered; }
    // Finishes the handshake, writes the bytes and reads until the server closes.
    ExchangeOutcome finish(std::string_view bytes);

private:
    void* m_context = nullptr;  // SSL_CTX
    void* m_ssl = nullptr;      // SSL
    int m_fd = -1;
    bool m_answered = false;
    ClientOptions m_options;
};

// Like tlsExchange but writes the bytes one at a time, waiting between them.
ExchangeOutcome tlsTrickle(const std::string& address, std::uint16_t port,
                           const std::string& caFile, std::string_view bytes,
                           std::chrono::milliseconds pause, const ClientOptions& options = {});

}  // namespace velquor::testing
