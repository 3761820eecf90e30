// What the TFTP tests share: a lossy relay between real clients and the server, and a raw
// UDP probe that sends packets no well-behaved client sends and reads what comes back.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace velquor::testing {

// A UDP relay on 127.0.0.1 in front of a TFTP server on 127.0.0.1:serverPort that drops and
// duplicates packets both ways, by a fixed pseudo-random sequence (an option acknowledgement is
// dropped but never duplicated: atftp gives up on a second one). Each client is given its
// own socket towards the server, and each port the server answers it from its own port in
// front, so that the client sees the transfer ports as it would without the relay.
class LossyRelay {
public:
    LossyRelay(std::uint16_t serverPort, unsigned dropPercent, unsigned duplicatePercent);
    ~LossyRelay();
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    std::uint16_t port() const { return m_frontPort; }
    std::uint64_t dropped() const { return m_dropped; }
    std::uint64_t duplicated() const { return m_duplicated; }

private:
    struct Session {
        int toServer = -1;
        std::map<std::uint16_t, int> fronts;  // by the server's port
    };
    void run();
    void forward(int from, const char* data, std::size_t size, const sockaddr_in& to);
    bool chance(unsigned percent);

    std::uint16_t m_serverPort;
    unsigned m_dropPercent;
    unsigned m_duplicatePercent;
    int m_front = -1;
    std::uint16_t m_frontPort = 0;
    int m_wake[2] = {-1, -1};
    std::uint64_t m_random = 0x9e3779b97f4a7c15ull;
    std::map<std::uint16_t, Session> m_sessions;  // by the client's port
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_duplicated{0};
    std::thread m_thread;
};

struct Received {
    std::string packet;
    std::uint16_t fromPort = 0;
    std::string fromAddress;
};

// A UDP socket on 127.0.0.1 (or another loopback address) sending to a server's ports.
class UdpProbe {
public:
    explicit UdpProbe(const std::string& address = "127.0.0.1");
    ~UdpProbe();
    UdpProbe(const UdpProbe&) = delete;
    UdpProbe& operator=(const UdpProbe&) = delete;

    // To 127.0.0.1, or to another address of this machine.
    void send(std::uint16_t port, const std::string& packet,
              const std::string& address = "127.0.0.1") const;
    // The next packet, waiting at most limit (a bound for a fault, not a pause).
    std::optional<Received> receive(
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    // A packet that came already, without waiting.
    std::optional<Received> pending() const;

private:
    int m_socket = -1;
};

// A read request for file in octet mode with the options given as name, value, ...
std::string readRequest(const std::string& file, std::initializer_list<std::string> options = {},
                        const std::string& mode = "octet");
std::string ackPacket(std::uint16_t block);
// An error packet's code, or -1 for any other packet.
int errorCodeOf(const std::string& packet);
// The opcode of a packet, -1 when it has none.
int opcodeOf(const std::string& packet);

}  // namespace velquor::testing
