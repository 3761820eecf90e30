// Device files written on worker threads; see device_writers.h.
#include "generator/run/device_writers.h"

#include <algorithm>
#include <exception>
#include <new>

#include "crypto/config_blocks.h"
#include "generator/outputs/check_sums.h"
#include "support/atomic_file.h"

namespace velquor::generator {

namespace {

// A few files per worker keep every worker busy while the run makes the next file.
constexpr std::size_t kQueuedPerWorker = 8;

std::span<const std::byte> bytesOf(const std::string& text) {
    return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

// A worker that ran out of memory fails its row instead of ending the program.
support::Status failedWith(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return support::makeError(support::ErrorCode::Internal,
                                  support::Phrase{VELQUOR_TR_NOOP("core", "out of memory")});
    }
    return support::makeError(support::ErrorCode::Internal, std::string(error.what()));
}

}  // namespace

unsigned DeviceWriters::defaultWorkerCount() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

DeviceWriters::DeviceWriters(const support::OutputFolder& plain,
                             const support::OutputFolder* encrypted, const crypto::CAes& aes,
                             unsigned workers)
    : m_plain(plain),
      m_encrypted(encrypted),
      m_aes(aes),
      m_capacity(kQueuedPerWorker * std::max(workers, 1u)) {
    for (unsigned i = 0; i < std::max(workers, 1u); ++i) m_workers.emplace_back([this] { work(); });
}

DeviceWriters::~DeviceWriters() {
    finish();
}

// Each side wakes the other only when it sleeps: a full queue lets the run sleep until it is
// half empty, so that a wake-up, a system call on a busy machine, is paid once per many files.
void DeviceWriters::submit(DeviceFiles files) {
    std::unique_lock lock(m_mutex);
    if (m_queue.size() >= m_capacity) {
        m_submitterWaits = true;
        m_taken.wait(lock, [this] { return m_queue.size() <= m_capacity / 2; });
        m_submitterWaits = false;
    }
    m_queue.push_back(std::move(files));
    const bool wake = m_idleWorkers > 0;
    lock.unlock();
    if (wake) m_queued.notify_one();
}

std::deque<WrittenFiles> DeviceWriters::finish() {
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) worker.join();
    m_workers.clear();
    return std::exchange(m_done, {});
}

void DeviceWriters::work() {
    for (;;) {
        std::unique_lock lock(m_mutex);
        ++m_idleWorkers;
        m_queued.wait(lock, [this] { return !m_queue.empty() || m_finishing; });
        --m_idleWorkers;
        if (m_queue.empty()) return;
        DeviceFiles files = std::move(m_queue.front());
        m_queue.pop_front();
        const bool wake = m_submitterWaits && m_queue.size() <= m_capacity / 2;
        lock.unlock();
        if (wake) m_taken.notify_one();

        WrittenFiles written;
        written.index = files.index;
        try {
            write(files, written);
        } catch (const std::exception& error) {
            (written.plainDigest.empty() ? written.plain : written.encrypted) = failedWith(error);
        }
        lock.lock();
        m_done.push_back(std::move(written));
    }
}

void DeviceWriters::write(const DeviceFiles& files, WrittenFiles& written) const {
    const auto plain = bytesOf(files.text);
    written.plain =
        support::writeFileAtomically(m_plain, files.fileName, plain, support::Durability::Deferred);
    if (!written.plain) return;
    written.plainDigest = checkSumOf(plain);
    if (m_encrypted == nullptr) return;
    // The copy is made from the bytes just saved, which spares reading the plain file back;
    // the bytes are those the file encryption would write.
    const std::vector<std::uint8_t> blocks = crypto::encryptToBlocks(m_aes, plain);
    const auto encrypted = std::as_bytes(std::span(blocks));
    written.encrypted = support::writeFileAtomically(*m_encrypted, files.fileName, encrypted,
                                                     support::Durability::Deferred);
    if (written.encrypted) written.encryptedDigest = checkSumOf(encrypted);
}

}  // namespace velquor::generator
