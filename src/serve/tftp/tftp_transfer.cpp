// One TFTP read transfer; see tftp_transfer.h.
#include "serve/tftp/tftp_transfer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace velquor::serve::tftp {

namespace {

constexpr std::size_t kNetasciiReadBytes = 16 * 1024;

// Up to count bytes of fd from offset; fewer only at the file's end, -1 on a read error.
long readAt(int fd, char* out, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

}  // namespace

BlockSource::BlockSource(int fd, Mode mode) : m_fd(fd), m_mode(mode) {}

BlockSource::~BlockSource() {
    if (m_fd >= 0) ::close(m_fd);
}

BlockSource::BlockSource(BlockSource&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_mode(other.m_mode),
      m_converted(std::move(other.m_converted)),
      m_convertedStart(other.m_convertedStart),
      m_readOffset(other.m_readOffset),
      m_fileEnded(other.m_fileEnded) {}

BlockSource& BlockSource::operator=(BlockSource&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_mode = other.m_mode;
        m_converted = std::move(other.m_converted);
        m_convertedStart = other.m_convertedStart;
        m_readOffset = other.m_readOffset;
        m_fileEnded = other.m_fileEnded;
    }
    return *this;
}

long BlockSource::block(std::uint64_t n, unsigned blockSize, char* out) {
    const std::uint64_t start = (n - 1) * blockSize;
    if (m_mode == Mode::Octet) return readAt(m_fd, out, blockSize, start);
    const std::uint64_t end = start + blockSize;
    char chunk[kNetasciiReadBytes];
    while (!m_fileEnded && m_convertedStart + m_converted.size() < end) {
        const long got = readAt(m_fd, chunk, sizeof chunk, m_readOffset);
        if (got < 0) return -1;
        m_fileEnded = got == 0;
        m_readOffset += static_cast<std::uint64_t>(got);
        appendNetascii(std::string_view(chunk, static_cast<std::size_t>(got)), m_converted);
    }
    if (start < m_convertedStart) return -1;  // released already: never asked for again
    const std::uint64_t held = m_convertedStart + m_converted.size();
    const std::uint64_t length =
        held > start ? std::min<std::uint64_t>(held - start, blockSize) : 0;
    std::memcpy(out, m_converted.data() + (start - m_convertedStart), length);
    return static_cast<long>(length);
}

void BlockSource::release(std::uint64_t n, unsigned blockSize) {
    if (m_mode == Mode::Octet) return;
    const std::uint64_t keepFrom = (n - 1) * blockSize;
    if (keepFrom <= m_convertedStart) return;
    const std::uint64_t drop =
        std::min<std::uint64_t>(keepFrom - m_convertedStart, m_converted.size());
    m_converted.erase(0, drop);
    m_convertedStart += drop;
}

namespace {

// The first retransmission time: the server's own, or the client's when it asked a shorter
// one (a longer one would hold every lost block that long).
std::chrono::milliseconds firstTimeout(const Negotiated& settled, const TransferTiming& timing) {
    if (settled.timeoutSeconds == 0) return timing.firstTimeout;
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(settled.timeoutSeconds),
                                               timing.firstTimeout);
}

}  // namespace

Transfer::Transfer(BlockSource source, Negotiated settled, const TransferTiming& timing)
    : m_source(std::move(source)),
      m_settled(std::move(settled)),
      m_timing(timing),
      m_timeout(firstTimeout(m_settled, timing)),
      m_packet(kDataHeaderBytes + m_settled.blockSize, '\0'),
      m_triesLeft(timing.tries) {}

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
    m_deadline = now + m_timeout;
    m_answeredAt = now;
    return sendBeginning(send);
}

Transfer::State Transfer::requestRepeated(const Send& send, Steady::time_point now) {
    // A copy the network made arrives at once, a client's own try after its time-out: only
    // the latter is answered, as a second option acknowledgement would end some clients.
    if (m_clientAcknowledged || now - m_answeredAt < m_timing.firstTimeout / 2) return State::Going;
    m_answeredAt = now;
    return sendBeginning(send);
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
    m_clientAcknowledged = true;
    m_acked = block;
    if (m_last != 0 && m_acked >= m_last) return State::Completed;
    m_source.release(m_acked + 1, m_settled.blockSize);
    m_timeout = firstTimeout(m_settled, m_timing);
    m_triesLeft = m_timing.tries;
    m_deadline = now + m_timeout;
    return sendWindow(send);
}

Transfer::State Transfer::onDeadline(const Send& send, Steady::time_point now) {
    if (now < m_deadline) return State::Going;
    if (m_triesLeft == 0) return State::Failed;
    --m_triesLeft;
    m_timeout = std::min(m_timeout * 2, std::max(m_timing.longestTimeout, m_timeout));
    m_deadline = now + m_timeout;
    // Before the first acknowledgement the client may not be who the request said: only its
    // repeated request draws the answer again.
    if (!m_clientAcknowledged) return State::Going;
    return sendWindow(send);
}

std::uint64_t Transfer::bytesAcknowledged() const {
    if (m_acked == 0) return 0;
    if (m_last != 0 && m_acked >= m_last) return (m_last - 1) * m_settled.blockSize + m_lastBytes;
    return m_acked * m_settled.blockSize;
}

}  // namespace velquor::serve::tftp
