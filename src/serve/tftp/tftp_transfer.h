// One TFTP read transfer as a state machine over packets and time, with no socket of its own:
// the event loop hands it the packets its client sent and the times its deadline passed, and
// it sends through the function it is given.
//
// Blocks go out a window at a time (RFC 7440; one block without the option, as RFC 1350 has
// it); an acknowledgement moves the window to the block after it, so a gap the client reports
// is sent again from there, and one that repeats an earlier acknowledgement is dropped (sending
// again on it would double every later block). When the deadline passes with nothing new
// acknowledged, the unacknowledged window goes again, at most that, and the time-out doubles,
// up to a bound; when the client has acknowledged nothing new for the transfer's patience,
// the transfer fails. The time-out is the one the client asked (RFC 2349's timeout option),
// else it follows the round trips measured on this transfer, as TCP's does (RFC 6298: the
// smoothed round trip and four times its variation, no sample taken from a window sent again),
// within a bound each way: a block lost on a fast network goes again within a fraction of a
// second, and a slow client is not sent to again before it could answer. Until the client's
// first acknowledgement the server never sends on its own: the request's answer (the option
// acknowledgement or the first window) goes again only when the request comes again, so a
// request with a forged source draws one answer and nothing more. Block numbers roll over
// from 65535 to 0, so a file of any size goes whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "serve/tftp/tftp_packet.h"

namespace velquor::serve::tftp {

using Steady = std::chrono::steady_clock;

// The bytes of a served file as they go out in blocks: as on disk in octet mode, converted
// as they are read in netascii mode. The file is read ahead in pieces of up to 16 KB (a small
// file in one read), and the bytes from the unacknowledged window on are kept.
class BlockSource {
public:
    BlockSource() = default;
    // Takes fd, an opened regular file of about size bytes (it may change while it is read),
    // and closes it.
    BlockSource(int fd, Mode mode, std::uint64_t size);
    ~BlockSource();
    BlockSource(BlockSource&& other) noexcept;
    BlockSource& operator=(BlockSource&& other) noexcept;
    BlockSource(const BlockSource&) = delete;
    BlockSource& operator=(const BlockSource&) = delete;

    // Block n (from 1) of blockSize bytes into out: its length, shorter than blockSize for the
    // last block (0 when the file ends at the block before), or -1 when it cannot be read.
    long block(std::uint64_t n, unsigned blockSize, char* out);
    // The blocks before n will not be asked for again.
    void release(std::uint64_t n, unsigned blockSize);

private:
    // Reads the file's next piece onto the bytes held; false on a read error.
    bool readMore();

    int m_fd = -1;
    Mode m_mode = Mode::Octet;
    std::uint64_t m_size = 0;
    // The bytes as they go out (converted in netascii mode) from m_heldStart on, and where the
    // file's next read begins.
    std::string m_held;
    std::uint64_t m_heldStart = 0;
    std::uint64_t m_readOffset = 0;
    bool m_fileEnded = false;
};

struct TransferTiming {
    // The time-out until a round trip was measured (and a request's copy is one that comes
    // within half of it), and the bounds of the time-out taken from measured round trips.
    std::chrono::milliseconds firstTimeout{1000};
    std::chrono::milliseconds shortestTimeout{100};
    std::chrono::milliseconds longestTimeout{8000};
    // How long a client may acknowledge nothing new before its transfer fails.
    std::chrono::milliseconds patience{30000};
};

// A client's round trip as measured: RFC 6298's smoothed round trip and its variation.
struct RoundTrip {
    Steady::duration smoothed{};
    Steady::duration variation{};
};

class Transfer {
public:
    enum class State { Going, Completed, Failed };
    using Send = std::function<void(std::string_view packet)>;

    // known: the round trip measured on the server's recent transfers, the time-out's start
    // until this transfer measured its own (a boot storm's phones share a network).
    Transfer(BlockSource source, Negotiated settled, const TransferTiming& timing,
             std::optional<RoundTrip> known = std::nullopt);

    // The answer to the request: the option acknowledgement, or the first window of data.
    State begin(const Send& send, Steady::time_point now);
    // The request came again: its answer again, while the client has acknowledged nothing,
    // unless it was given less than half the first time-out ago (the network's copy).
    State requestRepeated(const Send& send, Steady::time_point now);
    // Whether a request from this transfer's client, coming at now, asks for a transfer of its
    // own: the client acknowledged this one and the request is no copy of its first (a phone
    // that started again from the same port, or took it again for its next file).
    bool isNewRequest(Steady::time_point now) const;
    // A packet the client sent: an acknowledgement moves the transfer on, an error packet ends
    // it, anything else is answered with an error packet and ends it.
    State onPacket(std::string_view packet, const Send& send, Steady::time_point now);
    // The deadline passed (called at or after it).
    State onDeadline(const Send& send, Steady::time_point now);

    Steady::time_point deadline() const { return m_deadline; }
    // The time the transfer now waits for an acknowledgement before sending again.
    Steady::duration timeout() const { return m_timeout; }
    // The round trip measured (or known from the start), if any.
    const std::optional<RoundTrip>& roundTrip() const { return m_roundTrip; }
    // The bytes of data the client has acknowledged.
    std::uint64_t bytesAcknowledged() const;
    const Negotiated& settled() const { return m_settled; }

private:
    State sendWindow(const Send& send);
    State sendBeginning(const Send& send);
    // Takes the round trip of an acknowledgement into the time-out.
    void measure(Steady::duration roundTrip);
    void timeoutFromRoundTrip();

    BlockSource m_source;
    Negotiated m_settled;
    TransferTiming m_timing;
    Steady::duration m_timeout;
    std::optional<RoundTrip> m_roundTrip;
    Steady::time_point m_windowSentAt;  // when the window (or the answer) last went out new
    bool m_windowSentAgain = false;     // whether it went again since: no round trip to take
    Steady::time_point m_progressAt;    // when the client last acknowledged something new
    std::string m_packet;               // one data packet, built in place
    std::uint64_t m_acked = 0;          // the last block acknowledged (0: none, or the options)
    std::uint64_t m_sent = 0;           // the highest block sent
    std::uint64_t m_last = 0;           // the last block of the file, once it was read (0: not yet)
    std::uint64_t m_lastBytes = 0;      // its length
    bool m_clientAcknowledged = false;
    Steady::time_point m_deadline;
    Steady::time_point m_requestedAt;  // when the request came
    Steady::time_point m_answeredAt;   // when the request's answer last went
};

}  // namespace velquor::serve::tftp
