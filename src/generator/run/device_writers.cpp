// Device files written on worker threads; see device_writers.h.
#include "generator/run/device_writers.h"

#include <algorithm>
#include <array>
#include <exception>
#include <new>

#include "crypto/config_blocks.h"
#include "generator/outputs/check_sums.h"
#include "support/atomic_file.h"

namespace velquor::generator {

namespace {

// Files change hands this many at a time, and each worker has room for a few batches queued,
// which keeps every worker busy while the run makes the next files. A batch's files are
// digested side by side: 32 fill the lanes of two AVX-512 registers or four AVX2 ones
// (md5OfEach). Measured with bench_fields (100,000 files), processor time: batches of 8 took
// about a tenth longer to generate and write the files; 64 were no quicker than 32 beyond
// the runs' spread.
constexpr std::size_t kBatch = 32;
constexpr std::size_t kBatchesPerWorker = 4;

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

// The files of a batch written so far: where each is in the batch, and its bytes.
struct Saved {
    std::array<std::size_t, kBatch> positions;
    std::array<std::span<const std::byte>, kBatch> bytes;
    std::size_t count = 0;

    void add(std::size_t position, std::span<const std::byte> written) {
        positions[count] = position;
        bytes[count++] = written;
    }
    // Each file's digest into its outcome's member; outcomes are the batch's, in its order.
    void digestInto(std::span<WrittenFiles> outcomes, CheckSum WrittenFiles::*digest) const {
        std::array<CheckSum, kBatch> sums;
        checkSumsOf(std::span(bytes.data(), count), sums.data());
        for (std::size_t k = 0; k < count; ++k) outcomes[positions[k]].*digest = sums[k];
    }
};

template <typename Step>
support::Status guarded(Step step) {
    try {
        return step();
    } catch (const std::exception& error) {
        return failedWith(error);
    }
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
      m_capacity(kBatch * kBatchesPerWorker * std::max(workers, 1u)) {
    for (unsigned i = 0; i < std::max(workers, 1u); ++i) m_workers.emplace_back([this] { work(); });
}

DeviceWriters::~DeviceWriters() {
    finish();
}

// A full queue lets the run sleep until it is half empty, and a sleeping worker is woken
// once a whole batch waits for it (the rest at finish()). Each batch queued is offered to an
// idle worker as it completes, and a worker looks for a batch before it sleeps, so none
// sleeps while one waits.
void DeviceWriters::submit(DeviceFiles files) {
    std::unique_lock lock(m_mutex);
    if (m_queue.size() >= m_capacity) {
        m_submitterWaits = true;
        m_taken.wait(lock, [this] { return m_queue.size() <= m_capacity / 2; });
        m_submitterWaits = false;
    }
    m_queue.push_back(std::move(files));
    const bool wake = m_idleWorkers > 0 && m_queue.size() % kBatch == 0;
    m_done.swap(m_handedBack);
    lock.unlock();
    if (wake) m_queued.notify_one();
    keepHandedBack();
}

void DeviceWriters::keepHandedBack() {
    for (WrittenFiles& written : m_handedBack) m_kept.push_back(std::move(written));
    m_handedBack.clear();
}

std::deque<WrittenFiles> DeviceWriters::finish() {
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) worker.join();
    m_workers.clear();
    keepHandedBack();
    m_done.swap(m_handedBack);
    keepHandedBack();
    return std::exchange(m_kept, {});
}

bool DeviceWriters::takeBatch(std::unique_lock<std::mutex>& lock, std::vector<DeviceFiles>& batch) {
    ++m_idleWorkers;
    m_queued.wait(lock, [this] { return m_queue.size() >= kBatch || m_finishing; });
    --m_idleWorkers;
    const std::size_t count = std::min(m_queue.size(), kBatch);
    for (std::size_t i = 0; i < count; ++i) {
        batch.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
    return count > 0;
}

void DeviceWriters::work() {
    std::vector<DeviceFiles> batch;
    std::vector<WrittenFiles> outcomes;
    batch.reserve(kBatch);
    outcomes.reserve(kBatch);
    std::unique_lock lock(m_mutex);
    while (takeBatch(lock, batch)) {
        const bool wake = m_submitterWaits && m_queue.size() <= m_capacity / 2;
        lock.unlock();
        if (wake) m_taken.notify_one();
        write(batch, outcomes);
        batch.clear();
        lock.lock();
        for (WrittenFiles& written : outcomes) m_done.push_back(std::move(written));
        outcomes.clear();
    }
}

// The files are written first and then digested together, since the digests of a batch
// taken side by side cost far less than one by one; the bytes are still in the cache.
void DeviceWriters::write(std::span<const DeviceFiles> batch,
                          std::vector<WrittenFiles>& outcomes) const {
    const std::size_t first = outcomes.size();
    Saved plain;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        WrittenFiles& outcome = outcomes.emplace_back();
        outcome.index = batch[i].index;
        const auto bytes = bytesOf(batch[i].text);
        outcome.plain = guarded([&] {
            return support::writeFileAtomically(m_plain, batch[i].fileName, bytes,
                                                support::Durability::Deferred);
        });
        if (outcome.plain) plain.add(i, bytes);
    }
    plain.digestInto(std::span(outcomes).subspan(first), &WrittenFiles::plainDigest);
    if (m_encrypted == nullptr) return;

    // The copies are made from the bytes just saved, which spares reading the plain files
    // back; the bytes are those the file encryption would write.
    std::array<std::vector<std::uint8_t>, kBatch> blocks;
    Saved encrypted;
    for (std::size_t k = 0; k < plain.count; ++k) {
        const std::size_t i = plain.positions[k];
        WrittenFiles& outcome = outcomes[first + i];
        outcome.encrypted = guarded([&] {
            blocks[k] = crypto::encryptToBlocks(m_aes, plain.bytes[k]);
            return support::writeFileAtomically(*m_encrypted, batch[i].fileName,
                                                std::as_bytes(std::span(blocks[k])),
                                                support::Durability::Deferred);
        });
        if (outcome.encrypted) encrypted.add(i, std::as_bytes(std::span(blocks[k])));
    }
    encrypted.digestInto(std::span(outcomes).subspan(first), &WrittenFiles::encryptedDigest);
}

}  // namespace velquor::generator
