// The server's records handed to their reader from a thread of their own; see record_queue.h.
#include "serve/server/record_queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace velquor::serve {

namespace {

// How long the end waits for a sink that takes nothing: a reader that has not taken a record
// in this long is not reading.
constexpr auto kStuckSink = std::chrono::seconds(2);
// Records are handed on in batches at most this far apart (sooner when half the queue is
// full): a serving thread wakes the reader's thread a few times a second, not per request.
constexpr auto kBatchInterval = std::chrono::milliseconds(100);

}  // namespace

// Held by the queue and by its thread, so a thread left blocked in its sink outlives the queue
// safely.
struct RecordQueue::Shared {
    Sink sink;
    std::size_t mostWaiting = 0;
    std::mutex mutex;
    std::condition_variable wake;      // a record pushed, or the end
    std::condition_variable progress;  // the sink took some
    std::vector<FetchRecord> waiting;
    bool ending = false;
    bool drained = false;
    std::atomic<std::uint64_t> dropped{0};

    bool fillingUp() const {
        return !waiting.empty() && waiting.size() >= std::max<std::size_t>(mostWaiting / 2, 1);
    }

    // Hands the sink everything waiting at once: one write of many lines for the CLI.
    void drain() {
        std::vector<FetchRecord> taking;
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait_for(lock, kBatchInterval, [&] { return ending || fillingUp(); });
            if (waiting.empty()) {
                if (ending) break;
                continue;
            }
            taking.swap(waiting);
            lock.unlock();
            sink(taking);
            taking.clear();
            lock.lock();
            progress.notify_all();
        }
        drained = true;
        progress.notify_all();
    }
};

RecordQueue::RecordQueue(Sink sink, std::size_t mostWaiting)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->sink = std::move(sink);
    m_shared->mostWaiting = mostWaiting;
    std::thread([shared = m_shared] { shared->drain(); }).detach();
}

RecordQueue::~RecordQueue() {
    std::unique_lock lock(m_shared->mutex);
    m_shared->ending = true;
    m_shared->wake.notify_all();
    // Waits while the sink keeps taking records; gives up on one that stopped.
    while (!m_shared->drained) {
        if (m_shared->progress.wait_for(lock, kStuckSink) == std::cv_status::timeout &&
            !m_shared->drained)
            break;
    }
}

void RecordQueue::push(const FetchRecord& record) {
    bool fillingUp = false;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->waiting.size() >= m_shared->mostWaiting) {
            ++m_shared->dropped;
            return;
        }
        m_shared->waiting.push_back(record);
        fillingUp = m_shared->fillingUp();
    }
    if (fillingUp) m_shared->wake.notify_one();
}

std::uint64_t RecordQueue::dropped() const {
    return m_shared->dropped.load();
}

}  // namespace velquor::serve
