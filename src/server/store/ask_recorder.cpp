// The phones' asks written behind the answers; see ask_recorder.h.
#include "server/store/ask_recorder.h"

#include <vector>

namespace velquor::server {

namespace {

// How long a failing store rests before the held asks are tried again.
constexpr std::chrono::seconds kRetryPause{1};

std::vector<MacAsk> asksOf(const std::map<std::string, PhoneAsk>& batch) {
    std::vector<MacAsk> asks;
    asks.reserve(batch.size());
    for (const auto& [mac, ask] : batch) asks.push_back(MacAsk{mac, ask});
    return asks;
}

}  // namespace

AskRecorder::AskRecorder(std::unique_ptr<AccountStore> store, Log log)
    : m_store(std::move(store)), m_log(std::move(log)) {
    m_writer = std::thread([this] { writerMain(); });
}

AskRecorder::~AskRecorder() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_writer.join();
}

void AskRecorder::record(MacAsk ask) {
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_held.size() < kMostHeld || m_held.contains(ask.mac); });
        auto [held, fresh] = m_held.try_emplace(std::move(ask.mac), ask.ask);
        if (!fresh && ask.ask.at >= held->second.at) held->second = std::move(ask.ask);
        ++m_heldAsks;
        ++m_handedOver;
    }
    m_changed.notify_all();
}

void AskRecorder::flush() {
    std::unique_lock lock(m_mutex);
    const std::size_t target = m_handedOver;
    const std::size_t failures = m_failures;
    m_changed.wait(lock, [&] { return m_settled >= target || m_failures != failures; });
}

void AskRecorder::writerMain() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stopping || !m_held.empty(); });
        if (m_held.empty()) return;  // stopping, everything written
        std::map<std::string, PhoneAsk> batch;
        batch.swap(m_held);
        m_inBatch = std::exchange(m_heldAsks, 0);
        m_changed.notify_all();  // room for those that wait to hand theirs over
        lock.unlock();
        write(std::move(batch));
        lock.lock();
    }
}

void AskRecorder::write(std::map<std::string, PhoneAsk> batch) {
    const auto written = m_store->recordAsks(asksOf(batch));
    std::unique_lock lock(m_mutex);
    if (written) {
        m_settled += std::exchange(m_inBatch, 0);
        if (std::exchange(m_failing, false)) m_log("kestod: the phones' asks are remembered again");
        m_changed.notify_all();
        return;
    }
    ++m_failures;
    const std::string count = std::to_string(m_inBatch);
    if (m_stopping) {
        m_settled += std::exchange(m_inBatch, 0);
        m_log("kestod: stopping without remembering " + count +
              " phones' asks: " + written.error().message);
        m_changed.notify_all();
        return;
    }
    if (!std::exchange(m_failing, true)) {
        m_log("kestod: cannot remember " + count +
              " phones' asks yet, trying again: " + written.error().message);
    }
    // A MAC that asked again meanwhile keeps its later ask.
    for (auto& [mac, ask] : batch) m_held.try_emplace(mac, std::move(ask));
    m_heldAsks += std::exchange(m_inBatch, 0);
    m_changed.notify_all();
    m_changed.wait_for(lock, kRetryPause, [&] { return m_stopping; });
}

}  // namespace velquor::server
