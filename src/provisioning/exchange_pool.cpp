// The worker threads, the in-flight limit and the retry rule of ExchangePool; see
// exchange_pool.h.
#include "provisioning/exchange_pool.h"

#include <algorithm>
#include <random>

namespace velquor::provisioning {

ExchangePool::ExchangePool(const KestoEndpoint& endpoint, std::size_t workers, RetryPolicy retry)
    : m_endpoint(endpoint),
      m_retry(retry),
      m_workerCount(std::max<std::size_t>(1, workers)),
      m_limit(m_workerCount),
      m_ceiling(m_workerCount) {
    m_workers.reserve(m_workerCount);
    for (std::size_t i = 0; i < m_workerCount; ++i)
        m_workers.emplace_back([this] { workerMain(); });
}

ExchangePool::~ExchangePool() {
    {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_stopping = true;
    }
    m_work.notify_all();
    for (auto& worker : m_workers) worker.join();
}

void ExchangePool::submit(std::size_t ticket, const wire::DeviceRequest& record) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Job{ticket, record});
        ++m_outstanding;
    }
    m_work.notify_one();
}

std::optional<ExchangeOutcome> ExchangePool::next(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    if (!m_finished.wait_for(lock, wait, [this] { return !m_done.empty(); })) return std::nullopt;
    ExchangeOutcome outcome = m_done.front();
    m_done.pop_front();
    --m_outstanding;
    return outcome;
}

std::vector<std::size_t> ExchangePool::withdrawQueued() {
    std::lock_guard lock(m_mutex);
    std::vector<std::size_t> tickets;
    for (const Job& job : m_queue) tickets.push_back(job.ticket);
    m_outstanding -= m_queue.size();
    m_queue.clear();
    m_withdrawn = true;
    return tickets;
}

void ExchangePool::resume() {
    std::lock_guard lock(m_mutex);
    m_withdrawn = false;
    m_serverUnreachable = false;
}

void ExchangePool::abandon() {
    {
        std::lock_guard lock(m_mutex);
        m_withdrawn = true;
    }
    m_abandon.request_stop();
}

std::size_t ExchangePool::outstanding() const {
    std::lock_guard lock(m_mutex);
    return m_outstanding;
}

std::size_t ExchangePool::inFlightLimit() const {
    std::lock_guard lock(m_mutex);
    return m_limit;
}

std::size_t ExchangePool::retries() const {
    std::lock_guard lock(m_mutex);
    return m_retries;
}

// Waits for a free slot under the current limit; false when the pool is going away.
bool ExchangePool::acquireSlot(std::unique_lock<std::mutex>& lock) {
    m_work.wait(lock, [this] { return m_stopping || m_active < m_limit; });
    if (m_stopping) return false;
    ++m_active;
    return true;
}

// Additive increase, multiplicative decrease: a refusal halves what is in flight, and each run
// of successes as long as the limit itself buys one more slot back, up to the ceiling.
void ExchangePool::releaseSlot(const ExchangeOutcome& outcome, bool gaveUp) {
    const std::size_t inFlight = m_active--;
    const FailureStage stage = outcome.stage;
    // Silence says nothing about load; only a connection turned away does.
    if (outcome.timedOut || outcome.abandoned) return;
    if (stage == FailureStage::Connecting) {
        m_ceiling = std::max<std::size_t>(1, std::min(m_ceiling, inFlight - 1));
        m_limit = std::max<std::size_t>(1, std::min(m_limit / 2, m_ceiling));
        m_successesSinceChange = 0;
        if (gaveUp) m_serverUnreachable = true;
    } else if (stage == FailureStage::None) {
        m_serverUnreachable = false;
        if (++m_successesSinceChange >= m_limit && m_limit < m_ceiling) {
            ++m_limit;
            m_successesSinceChange = 0;
        }
    }
}

std::chrono::milliseconds ExchangePool::pauseBefore(int attempt) const {
    // Spread the retries of workers refused together, so they do not return together.
    thread_local std::minstd_rand jitter(std::random_device{}());
    auto pause = m_retry.firstPause * (1 << std::min(attempt - 1, 10));
    pause = std::min(pause, m_retry.longestPause);
    return pause + std::chrono::milliseconds(jitter() % (pause.count() / 2 + 1));
}

ExchangeOutcome ExchangePool::exchange(ProvisioningChannel& channel, const Job& job) {
    ExchangeOutcome outcome;
    outcome.ticket = job.ticket;
    for (;;) {
        ++outcome.attempts;
        outcome.result = channel.SendDeviceRequest(job.record);
        const FailureStage stage = channel.lastFailureStage();
        outcome.stage = stage;
        outcome.timedOut = channel.lastFailureTimedOut();
        outcome.abandoned = channel.lastCallCancelled();
        outcome.error = channel.lastError();
        outcome.errorPhrase = channel.lastErrorPhrase();
        outcome.reply = channel.lastReply();
        outcome.refusal = channel.lastRefusal();
        std::unique_lock lock(m_mutex);
        const int allowed = m_serverUnreachable || m_withdrawn ? 1 : m_retry.attempts;
        const bool turnedAway =
            stage == FailureStage::Connecting && !outcome.timedOut && !outcome.abandoned;
        const bool retry = turnedAway && outcome.attempts < allowed;
        releaseSlot(outcome, turnedAway && !retry);
        m_work.notify_all();  // the limit may have changed either way
        if (!retry) return outcome;
        ++m_retries;
        lock.unlock();
        // The pause ends early when the exchanges are abandoned.
        std::mutex pauseMutex;
        std::unique_lock pauseLock(pauseMutex);
        std::condition_variable_any().wait_for(pauseLock, m_abandon.get_token(),
                                               pauseBefore(outcome.attempts), [] { return false; });
        lock.lock();
        // The pool only goes away once every submitted request has come back, so a slot is
        // always granted here.
        if (!acquireSlot(lock)) return outcome;
    }
}

void ExchangePool::workerMain() {
    ProvisioningChannel channel(m_endpoint);
    channel.setStopToken(m_abandon.get_token());
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_work.wait(lock,
                        [this] { return m_stopping || (!m_queue.empty() && m_active < m_limit); });
            if (m_stopping) return;
            job = std::move(m_queue.front());
            m_queue.pop_front();
            ++m_active;
        }
        ExchangeOutcome outcome = exchange(channel, job);
        {
            std::lock_guard lock(m_mutex);
            m_done.push_back(outcome);
        }
        m_finished.notify_one();
    }
}

}  // namespace velquor::provisioning
