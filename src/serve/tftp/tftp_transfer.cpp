// One TFTP read transfer; see tftp_transfer.h.
#include "serve/tftp/tftp_transfer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace velquor::serve::tftp {

namespace {

constexpr std::size_t kReadBytes = 16 * 1024;

// Up to count bytes of fd, a regular file, from offset: fewer only at the file's end (a
// regular file's read comes back short there only), -1 on a read error.
long readAt(int fd, char* out, std::size_t count, std::uint64_t offset) {
    for (;;) {
        const ssize_t got = ::pread(fd, out, count, static_cast<off_t>(offset));
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -1;
    }
}

}  // namespace

BlockSource::BlockSource(int fd, Mode mode, std::uint64_t size)
    : m_fd(fd), m_mode(mode), m_size(size) {}

BlockSource::~BlockSource() {
    if (m_fd >= 0) ::close(m_fd);
}

BlockSource::BlockSource(BlockSource&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_mode(other.m_mode),
      m_size(other.m_size),
      m_held(std::move(other.m_held)),
      m_heldStart(other.m_heldStart),
      m_readOffset(other.m_readOffset),
      m_fileEnded(other.m_fileEnded) {}

BlockSource& BlockSource::operator=(BlockSource&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_mode = other.m_mode;
        m_size = other.m_size;
        m_held = std::move(other.m_held);
        m_heldStart = other.m_heldStart;
        m_readOffset = other.m_readOffset;
        m_fileEnded = other.m_fileEnded;
    }
    return *this;
}

bool BlockSource::readMore() {
    // One byte past the size the file had, so that a read of a file that has not grown
    // comes back short and tells its end (a file grown since is read on in whole pieces).
    const std::uint64_t left = m_size > m_readOffset ? m_size - m_readOffset : 0;
    const auto count = static_cast<std::size_t>(
        left == 0 ? kReadBytes : std::min<std::uint64_t>(left + 1, kReadBytes));
    long got = 0;
    if (m_mode == Mode::Octet) {
        const std::size_t before = m_held.size();
        m_held.resize(before + count);
        got = readAt(m_fd, m_held.data() + before, count, m_readOffset);
        m_held.resize(before + static_cast<std::size_t>(std::max(got, 0L)));
    } else {
        char piece[kReadBytes];
        got = readAt(m_fd, piece, count, m_readOffset);
        if (got > 0) appendNetascii(std::string_view(piece, static_cast<std::size_t>(got)), m_held);
    }
    if (got < 0) return false;
    m_readOffset += static_cast<std::uint64_t>(got);
    m_fileEnded = static_cast<std::size_t>(got) < count;
    return true;
}

long BlockSource::block(std::uint64_t n, unsigned blockSize, char* out) {
    const std::uint64_t start = (n - 1) * blockSize;
    const std::uint64_t end = start + blockSize;
    while (!m_fileEnded && m_heldStart + m_held.size() < end)
        if (!readMore()) return -1;
    if (start < m_heldStart) return -1;  // released already: never asked for again
    const std::uint64_t held = m_heldStart + m_held.size();
    const std::uint64_t length =
        held > start ? std::min<std::uint64_t>(held - start, blockSize) : 0;
    std::memcpy(out, m_held.data() + (start - m_heldStart), length);
    return static_cast<long>(length);
}

void BlockSource::release(std::uint64_t n, unsigned blockSize) {
    const std::uint64_t keepFrom = (n - 1) * blockSize;
    if (keepFrom <= m_heldStart) return;
    const std::uint64_t drop = std::min<std::uint64_t>(keepFrom - m_heldStart, m_held.size());
    m_held.erase(0, drop);
    m_heldStart += drop;
}

namespace {

// The clock's granularity in RFC 6298's sense: the least the variation adds to the round trip.
constexpr auto kGranularity = std::chrono::milliseconds(1);

}  // namespace

Transfer::Transfer(BlockSource source, Negotiated settled, const TransferTiming& timing,
                   std::optional<RoundTrip> known)
    : m_source(std::move(source)),
      m_settled(std::move(settled)),
      m_timing(timing),
      m_timeout(timing.firstTimeout),
      m_packet(kDataHeaderBytes + m_settled.blockSize, '\0') {
    if (m_settled.timeoutSeconds != 0) {
        m_timeout = std::chrono::seconds(m_settled.timeoutSeconds);
    } else if (known) {
        m_roundTrip = known;
        timeoutFromRoundTrip();
    }
}

Transfer::State Transfer::sendWindow(const Send& send) {
    const std::uint64_t end = m_acked + m_settled.window;
    for (std::uint64_t block = m_acked + 1; block <= end; ++block) {
        if (m_last != 0 && block > m_last) break;
        const long length =
            m_source.block(block, m_settled.blockSize, m_packet.data() + kDataHeaderBytes);
        if (length < 0) {
            send(errorPacket(ErrorCode::NotDefined, "the file could not be read"));
            return State::Failed;
        }
        writeDataHeader(m_packet.data(), block);
        send(
            std::string_view(m_packet.data(), kDataHeaderBytes + static_cast<std::size_t>(length)));
        m_sent = std::max(m_sent, block);
        if (static_cast<unsigned long>(length) < m_settled.blockSize) {
            m_last = block;
            m_lastBytes = static_cast<std::uint64_t>(length);
            break;
        }
    }
    return State::Going;
}

Transfer::State Transfer::sendBeginning(const Send& send) {
    if (m_settled.acknowledged.empty()) return sendWindow(send);
    send(optionAckPacket(m_settled.acknowledged));
    return State::Going;
}

Transfer::State Transfer::begin(const Send& send, Steady::time_point now) {
    // Nothing goes again on the server's own before the client answered: the deadline is
    // only the end of its patience.
    m_deadline = now + m_timing.patience;
    m_requestedAt = m_answeredAt = m_windowSentAt = m_progressAt = now;
    return sendBeginning(send);
}

Transfer::State Transfer::requestRepeated(const Send& send, Steady::time_point now) {
    // A copy the network made arrives at once, a client's own try after its time-out: only
    // the latter is answered, as a second option acknowledgement would end some clients.
    if (m_clientAcknowledged || now - m_answeredAt < m_timing.firstTimeout / 2) return State::Going;
    m_answeredAt = now;
    m_windowSentAgain = true;
    return sendBeginning(send);
}

bool Transfer::isNewRequest(Steady::time_point now) const {
    return m_clientAcknowledged && now - m_requestedAt >= m_timing.firstTimeout / 2;
}

void Transfer::measure(Steady::duration roundTrip) {
    if (!m_roundTrip) {
        m_roundTrip = RoundTrip{roundTrip, roundTrip / 2};
    } else {
        RoundTrip& known = *m_roundTrip;
        const Steady::duration error =
            known.smoothed > roundTrip ? known.smoothed - roundTrip : roundTrip - known.smoothed;
        known.variation = (3 * known.variation + error) / 4;
        known.smoothed = (7 * known.smoothed + roundTrip) / 8;
    }
    timeoutFromRoundTrip();
}

void Transfer::timeoutFromRoundTrip() {
    const Steady::duration timeout =
        m_roundTrip->smoothed +
        std::max<Steady::duration>(kGranularity, 4 * m_roundTrip->variation);
    m_timeout =
        std::clamp<Steady::duration>(timeout, m_timing.shortestTimeout, m_timing.longestTimeout);
}

Transfer::State Transfer::onPacket(std::string_view packet, const Send& send,
                                   Steady::time_point now) {
    if (isError(packet)) return State::Failed;
    const std::optional<std::uint16_t> ack = parseAck(packet);
    if (!ack) {
        send(errorPacket(ErrorCode::IllegalOperation, "expected an acknowledgement"));
        return State::Failed;
    }
    // The block the 16-bit number stands for: the first at or after the last acknowledged
    // one that has it, as the numbers roll over.
    const std::uint64_t block = m_acked + ((*ack - m_acked) & 0xffffu);
    const bool optionsAcknowledged =
        !m_clientAcknowledged && !m_settled.acknowledged.empty() && block == 0;
    if (block > m_sent || (block == m_acked && !optionsAcknowledged))
        return State::Going;  // a repeat, or a block never sent
    // No round trip is taken from a window sent again (whose copy was acknowledged is not
    // known, and the time-out stays as it backed off), nor from a first acknowledgement that
    // came late: the server sends nothing again before it, so it may be the client's second.
    const bool firstLate =
        !m_clientAcknowledged && now - m_windowSentAt >= m_timing.firstTimeout / 2;
    m_clientAcknowledged = true;
    m_acked = block;
    if (m_last != 0 && m_acked >= m_last) return State::Completed;
    m_source.release(m_acked + 1, m_settled.blockSize);
    if (m_settled.timeoutSeconds != 0)
        m_timeout = std::chrono::seconds(m_settled.timeoutSeconds);  // as the client asked
    else if (!m_windowSentAgain && !firstLate)
        measure(now - m_windowSentAt);
    m_progressAt = m_windowSentAt = now;
    m_windowSentAgain = false;
    m_deadline = now + m_timeout;
    return sendWindow(send);
}

Transfer::State Transfer::onDeadline(const Send& send, Steady::time_point now) {
    if (now < m_deadline) return State::Going;
    const Steady::time_point givesUp = m_progressAt + m_timing.patience;
    if (now >= givesUp) return State::Failed;
    // Before the first acknowledgement the client may not be who the request said: only its
    // repeated request draws the answer again.
    if (!m_clientAcknowledged) {
        m_deadline = givesUp;
        return State::Going;
    }
    m_timeout = std::min<Steady::duration>(
        m_timeout * 2, std::max<Steady::duration>(m_timing.longestTimeout, m_timeout));
    m_deadline = std::min(now + m_timeout, givesUp);
    m_windowSentAgain = true;
    return sendWindow(send);
}
std::uint64_t Transfer::bytesAcknowledged() const {
    if (m_acked == 0) return 0;
    if (m_last != 0 && m_acked >= m_last) return (m_last - 1) * m_settled.blockSize + m_lastBytes;
    return m_acked * m_settled.blockSize;
}

}  // namespace velquor::serve::tftp
