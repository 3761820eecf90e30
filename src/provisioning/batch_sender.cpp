// Row-ordered reporting over out-of-order exchanges; see batch_sender.h.
//
// The calling thread feeds the pool in row order and holds back a row whose MAC an earlier,
// unsettled row still has, so the server sees each MAC's requests in file order. Results are
// kept per row and reported from the head of the file only: a row is reported once every row
// before it has been, and an "EXIST" waits there for the replace decision, whose "UP" then goes
// through the pool like any other exchange.
#include "provisioning/batch_sender.h"

#include <chrono>
#include <deque>
#include <optional>
#include <set>
#include <unordered_map>

#include "provisioning/exchange_pool.h"

namespace velquor::provisioning {

namespace {

// How long the calling thread waits for a result before looking at the stop request again.
constexpr std::chrono::milliseconds kStopCheckInterval{50};

std::string_view operationCode(DeviceOperation operation) {
    switch (operation) {
        case DeviceOperation::Add:
            return wire::kOperationAdd;
        case DeviceOperation::Replace:
            return wire::kOperationUpdate;
        case DeviceOperation::Delete:
            return wire::kOperationDelete;
    }
    return wire::kOperationAdd;
}

class BatchSender {
public:
    BatchSender(const KestoEndpoint& endpoint, const DeviceBatch& batch,
                const ReplaceQuestion& askReplace, support::Reporter& reporter,
                support::ProgressSink& progress, const std::stop_token& stop,
                DeviceBatchSummary& summary)
        : m_batch(batch),
          m_askReplace(askReplace),
          m_reporter(reporter),
          m_progress(progress),
          m_stop(stop),
          m_summary(summary),
          m_rows(summary.results.size()),
          m_jobs(std::clamp<std::size_t>(batch.jobs, 1, kMaxBatchJobs)),
          m_pool(endpoint, std::min(m_jobs, std::max<std::size_t>(1, m_rows.size()))) {}

    void run() {
        for (;;) {
            reportReadyRows();
            if (m_nextToReport == m_rows.size()) return;
            if (!m_summary.cancelled && m_stop.stop_requested()) cancel();
            feedPool();
            if (auto outcome = m_pool.next(kStopCheckInterval)) {
                collect(*outcome);
                while (auto more = m_pool.next(std::chrono::milliseconds(0))) collect(*more);
            }
        }
    }

private:
    enum class Stage { Waiting, InFlight, Answered };
    struct RowState {
        Stage stage = Stage::Waiting;
        int result = kRequestFailed;
    };

    MacResult& resultOf(std::size_t row) { return m_summary.results[row]; }

    // Earlier rows first: those released by their MAC's earlier row, then the next of the file.
    void feedPool() {
        while (!m_summary.cancelled && m_pool.outstanding() < m_jobs) {
            if (!m_released.empty()) {
                const std::size_t row = *m_released.begin();
                m_released.erase(m_released.begin());
                send(row);
            } else if (m_nextToFeed < m_rows.size()) {
                const std::size_t row = m_nextToFeed++;
                auto& claims = m_macClaims[resultOf(row).macAddress];
                claims.push_back(row);
                if (claims.size() == 1) send(row);
            } else {
                return;
            }
        }
    }

    void send(std::size_t row) {
        MacResult& result = resultOf(row);
        auto record = wire::buildDeviceRequest(
            wire::DeviceFields{std::string(operationCode(result.operation)), result.macAddress,
                               m_batch.server, m_batch.userName});
        // The lengths were checked before the batch began; a failure here (a zero byte in a
        // cell) affects this MAC alone.
        if (!record) {
            settle(row, kRequestFailed);
            return;
        }
        m_rows[row].stage = Stage::InFlight;
        m_pool.submit(row, *record);
    }

    void collect(const ExchangeOutcome& outcome) {
        // After a Cancel a connection that failed is not tried again: the record never left.
        if (m_summary.cancelled && outcome.stage == FailureStage::Connecting) {
            m_rows[outcome.ticket].stage = Stage::Waiting;
            return;
        }
        settle(outcome.ticket, outcome.result);
    }

    void settle(std::size_t row, int result) {
        m_rows[row].stage = Stage::Answered;
        m_rows[row].result = result;
        // An "EXIST" to an "ADD" is not the MAC's last word until the operator has decided.
        const bool decisionDue =
            resultOf(row).operation == DeviceOperation::Add && result == kDeviceExists;
        if (!decisionDue) releaseMac(row);
    }

    // The row's MAC is settled: the next row with the same MAC may go.
    void releaseMac(std::size_t row) {
        auto claims = m_macClaims.find(resultOf(row).macAddress);
        if (claims == m_macClaims.end() || claims->second.empty() ||
            claims->second.front() != row) {
            return;
        }
        claims->second.pop_front();
        if (claims->second.empty()) {
            m_macClaims.erase(claims);
        } else {
            m_released.insert(claims->second.front());
        }
    }

    // Queued requests are taken back unsent; those already being exchanged finish and are
    // reported.
    void cancel() {
        m_summary.cancelled = true;
        for (std::size_t row : m_pool.withdrawQueued()) m_rows[row].stage = Stage::Waiting;
    }

    void reportReadyRows() {
        while (m_nextToReport < m_rows.size() && reportHead()) {
        }
    }

    // Settles the first unreported row if it can be; false when it must wait for the network.
    bool reportHead() {
        const std::size_t row = m_nextToReport;
        switch (m_rows[row].stage) {
            case Stage::InFlight:
                return false;
            case Stage::Waiting:
                if (!m_summary.cancelled) return false;
                ++m_nextToReport;  // never sent: stays NotSent
                return true;
            case Stage::Answered:
                break;
        }
        MacResult& result = resultOf(row);
        const std::optional<MacOutcome> outcome = outcomeOf(row);
        if (!outcome) return true;  // the "UP" is on its way; look at the row again
        result.outcome = *outcome;
        ++m_nextToReport;
        m_progress.progress(m_nextToReport, m_rows.size(), result.macAddress);
        return true;
    }

    // The row's outcome, reporting its failure message; nothing while an "UP" it asked for is
    // still to be sent.
    std::optional<MacOutcome> outcomeOf(std::size_t row) {
        MacResult& result = resultOf(row);
        const bool accepted = m_rows[row].result == kRequestAccepted;
        switch (result.operation) {
            case DeviceOperation::Delete:
                if (accepted) return MacOutcome::Deleted;
                reportFailure(kesto_text::kDeleteFailed, result.macAddress,
                              kesto_text::kDeleteDeviceCaption);
                return MacOutcome::Failed;
            case DeviceOperation::Replace:
                if (accepted) return MacOutcome::Replaced;
                reportFailure(kesto_text::kReplaceFailed, result.macAddress,
                              kesto_text::kReplaceDeviceCaption);
                return MacOutcome::Failed;
            case DeviceOperation::Add:
                break;
        }
        if (accepted) return MacOutcome::Added;
        if (m_rows[row].result != kDeviceExists) {
            reportFailure(kesto_text::kAddFailed, result.macAddress, kesto_text::kAddDeviceCaption);
            return MacOutcome::Failed;
        }
        // After a Cancel nothing new is sent, so there is nothing to ask: the registration stays
        // as the server has it.
        if (m_summary.cancelled || !replaceWanted(result.macAddress)) {
            releaseMac(row);
            return MacOutcome::Declined;
        }
        result.operation = DeviceOperation::Replace;
        send(row);
        return std::nullopt;
    }

    void reportFailure(std::string_view pattern, const std::string& macAddress,
                       std::string_view caption) {
        if (m_failureMessages >= kMaxFailureMessages) return;
        ++m_failureMessages;
        m_reporter.report(formatMessage(pattern, macAddress), caption);
    }

    bool replaceWanted(const std::string& macAddress) {
        if (m_standingAnswer) return *m_standingAnswer;
        if (!m_askReplace) return false;
        switch (m_askReplace(macAddress, formatMessage(kesto_text::kReplaceQuestion, macAddress))) {
            case ReplaceAnswer::Yes:
                return true;
            case ReplaceAnswer::No:
                return false;
            case ReplaceAnswer::YesToAll:
                m_standingAnswer = true;
                return true;
            case ReplaceAnswer::NoToAll:
                m_standingAnswer = false;
                return false;
        }
        return false;
    }

    const DeviceBatch& m_batch;
    const ReplaceQuestion& m_askReplace;
    support::Reporter& m_reporter;
    support::ProgressSink& m_progress;
    const std::stop_token& m_stop;
    DeviceBatchSummary& m_summary;

    std::vector<RowState> m_rows;
    std::size_t m_nextToFeed = 0;
    std::size_t m_nextToReport = 0;
    // Per MAC, the fed rows not yet settled, in row order; the first is the one allowed out.
    std::unordered_map<std::string, std::deque<std::size_t>> m_macClaims;
    std::set<std::size_t> m_released;  // rows whose MAC became free, waiting for a slot
    std::optional<bool> m_standingAnswer;
    std::size_t m_failureMessages = 0;
    std::size_t m_jobs;
    ExchangePool m_pool;  // last: its workers finish before the rest goes
};

}  // namespace

void sendDeviceBatch(const KestoEndpoint& endpoint, const DeviceBatch& batch,
                     const ReplaceQuestion& askReplace, support::Reporter& reporter,
                     support::ProgressSink& progress, const std::stop_token& stop,
                     DeviceBatchSummary& summary) {
    BatchSender(endpoint, batch, askReplace, reporter, progress, stop, summary).run();
}

}  // namespace velquor::provisioning
