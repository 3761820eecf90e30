// ExchangePool: device requests carried by a fixed set of worker threads, several exchanges in
// flight at once. Each worker owns its channel, so each resumes its own TLS sessions and every
// connection is verified as a single exchange would be. A request whose connection was turned
// away before any byte of it left (refused, reset, dropped during the handshake) is tried again
// after a pause, and the number allowed in flight shrinks, since that is how a loaded server
// says "too many"; it grows back as exchanges succeed. A time-out is not tried again: a silent
// server would only be waited for as long again. A request that may have reached the server is
// never sent twice. Results come back in the order they finish, to the one thread that submits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "provisioning/provisioning_channel.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

struct RetryPolicy {
    int attempts = 6;  // the first try included
    std::chrono::milliseconds firstPause{50};
    std::chrono::milliseconds longestPause{800};
};

struct ExchangeOutcome {
    std::size_t ticket = 0;
    int result = kRequestFailed;              // as ProvisioningChannel::SendDeviceRequest
    FailureStage stage = FailureStage::None;  // where the last attempt stopped
    int attempts = 0;
    bool timedOut = false;          // the last attempt ran out of time
    bool abandoned = false;         // cut short by abandon()
    std::string error;              // the channel's reason, when it did not end in "YES"
    support::Phrase errorPhrase{};  // error as the window words it, when it can
    std::string reply;              // the server's reply bytes, when it answered
    ServerRefusal refusal = ServerRefusal::None;  // what a refusal said
};

class ExchangePool {
public:
    ExchangePool(const KestoEndpoint& endpoint, std::size_t workers, RetryPolicy retry = {});
    // Requests still queued are dropped; those being exchanged are finished first.
    ~ExchangePool();
    ExchangePool(const ExchangePool&) = delete;
    ExchangePool& operator=(const ExchangePool&) = delete;

    void submit(std::size_t ticket, const wire::DeviceRequest& record);
    // The next finished exchange, waiting at most wait; nothing when none finished in time.
    std::optional<ExchangeOutcome> next(std::chrono::milliseconds wait);
    // Takes back the requests no worker has started; their tickets, in submission order. A
    // request whose connection fails from now on comes back at once instead of being tried
    // again, so nothing new starts after a cancel.
    std::vector<std::size_t> withdrawQueued();
    // Undoes withdrawQueued's no-retry rule for the requests submitted from now on.
    void resume();
    // Ends the exchanges in flight at once (a Cancel): each comes back abandoned, at the stage
    // it had reached. Nothing can be sent afterwards.
    void abandon();

    // Submitted and not yet returned by next().
    std::size_t outstanding() const;
    // How many exchanges may run at once just now (between 1 and the number of workers).
    std::size_t inFlightLimit() const;
    // Connection attempts made again after a failure before the record was sent.
    std::size_t retries() const;

private:
    struct Job {
        std::size_t ticket;
        wire::DeviceRequest record;
    };

    void workerMain();
    ExchangeOutcome exchange(ProvisioningChannel& channel, const Job& job);
    bool acquireSlot(std::unique_lock<std::mutex>& lock);
    void releaseSlot(const ExchangeOutcome& outcome, bool gaveUp);
    std::chrono::milliseconds pauseBefore(int attempt) const;

    KestoEndpoint m_endpoint;
    RetryPolicy m_retry;
    std::size_t m_workerCount;

    mutable std::mutex m_mutex;
    std::condition_variable m_work;      // a job or a free slot for the workers
    std::condition_variable m_finished;  // an outcome for the submitting thread
    std::deque<Job> m_queue;
    std::deque<ExchangeOutcome> m_done;
    std::size_t m_outstanding = 0;
    std::size_t m_active = 0;
    std::size_t m_limit;
    // The most the server has shown it takes at once: lowered at each refusal to just below the
    // number then in flight, and the limit never grows past it again.
    std::size_t m_ceiling;
    std::size_t m_successesSinceChange = 0;
    std::size_t m_retries = 0;
    // Set when a request used every attempt without reaching the server: later requests get
    // one try each until the server answers again, so a stopped server fails fast.
    bool m_serverUnreachable = false;
    bool m_withdrawn = false;
    bool m_stopping = false;
    std::stop_source m_abandon;
    std::vector<std::thread> m_workers;
};

}  // namespace velquor::provisioning
