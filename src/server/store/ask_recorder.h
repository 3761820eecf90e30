// AskRecorder: what the phones were told, written to the store off the answer's path. A worker
// answering a phone hands its ask over and replies at once; one thread of the recorder's own
// writes what has come meanwhile in one transaction (the last ask of each MAC), so a storm of
// phones costs one commit per batch instead of one each, and no worker waits on another's
// write lock. A clean stop writes everything handed over before it returns; a crash loses at
// most the asks handed over since the last commit began (those answered while it was being
// written), never one committed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/store/account_store.h"

namespace velquor::server {

class AskRecorder {
public:
    using Log = std::function<void(const std::string&)>;

    // Writes through store, a connection of its own; log says what could not be written.
    AskRecorder(std::unique_ptr<AccountStore> store, Log log);
    // Writes what is held, then stops.
    ~AskRecorder();
    AskRecorder(const AskRecorder&) = delete;
    AskRecorder& operator=(const AskRecorder&) = delete;

    // Hands an ask over; waits only while kMostHeld MACs wait to be written.
    void record(MacAsk ask);
    // Returns once every ask handed over before the call is written, or a write failed.
    void flush();

    // The MACs whose asks may wait at once before record() waits for the writer.
    static constexpr std::size_t kMostHeld = 65'536;

private:
    void writerMain();
    // Writes a batch; on failure puts back what no later ask replaced, and says so once.
    void write(std::map<std::string, PhoneAsk> batch);

    std::unique_ptr<AccountStore> m_store;
    Log m_log;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, PhoneAsk> m_held;  // by MAC: the last ask not written yet
    std::size_t m_handedOver = 0;            // asks handed over, ever
    std::size_t m_settled = 0;               // of them, written or given up on
    std::size_t m_inBatch = 0;               // asks the batch being written stands for
    std::size_t m_heldAsks = 0;              // asks m_held stands for (a MAC's may be several)
    std::size_t m_failures = 0;              // writes that failed, ever
    bool m_failing = false;  // the last write failed: said once, tried again after a pause
    bool m_stopping = false;
    std::thread m_writer;
};

}  // namespace velquor::server
