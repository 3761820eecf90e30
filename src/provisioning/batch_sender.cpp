// Row-ordered reporting over out-of-order exchanges; see batch_sender.h.
//
// The calling thread feeds the pool in row order and holds back a row whose MAC an earlier,
// unsettled row still has, so the server sees each MAC's requests in file order. The rows
// offered and not yet done are held in a window; each row's result is reported from the head of
// the window only: a row is reported (and handed to the sink) once every row before it has
// been, and an "EXIST" waits there for the replace decision, whose "UP" then goes through the
// pool like any other exchange.
//
// A server that does not answer pauses the batch: rows whose connection failed go back to wait,
// nothing new is fed, and the operator decides once between Retry and Stop. A server that no
// longer knows the login pauses it too: rows refused as not logged in are held, and the
// operator gives the password to log in again with (they go again) or stops (they stay unsent).
#include "provisioning/batch_sender.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "mac/mac_check.h"
#include "provisioning/exchange_pool.h"
#include "support/hex.h"
#include "wire/device_listing.h"
#include "wire/server_text.h"

namespace velquor::provisioning {

using support::Phrase;

namespace {

// How long the calling thread waits for a result before looking at the stop request again.
constexpr std::chrono::milliseconds kStopCheckInterval{50};

// Once the server has answered in this batch, this many exchanges in a row that do not reach
// it mean it has stopped answering; before its first answer, one is enough.
constexpr int kSilentStreakAfterAnswers = 3;

// This many refusals as not logged in in a row mean the login has ended.
constexpr int kLoginEndedStreak = 3;

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

// Whether sending the row again gets the same refusal: only a refusal of the row's own content
// (a MAC address the server does not take), or a delete of a phone that is not this account's
// registration. Another account's hold on the phone can end (that account, or chief with
// 'kestod devices release', frees it), and a refused add or replace may be a login that ended:
// a retry sends those again.
bool refusedForGood(ServerRefusal refusal, DeviceOperation operation) {
    return refusal == ServerRefusal::NotAcceptable ||
           (refusal == ServerRefusal::Refused && operation == DeviceOperation::Delete);
}

// What a refusal most likely means for this request. While nothing of the batch has been
// accepted, a refused "ADD" is almost always a login the server no longer knows.
const char* likelyCauses(DeviceOperation operation, bool anythingAccepted) {
    switch (operation) {
        case DeviceOperation::Add:
            if (!anythingAccepted) break;
            return VELQUOR_TR_NOOP("core",
                                   "the server does not accept this MAC address, or the login "
                                   "has expired or the server restarted: log in again");
        case DeviceOperation::Replace:
            return VELQUOR_TR_NOOP("core",
                                   "the registration belongs to another user, or the login has "
                                   "expired or the server restarted: log in again");
        case DeviceOperation::Delete:
            if (!anythingAccepted) {
                return VELQUOR_TR_NOOP("core",
                                       "the login has expired or the server restarted: log in "
                                       "again (or the MAC address is not registered to this "
                                       "user)");
            }
            return VELQUOR_TR_NOOP("core",
                                   "the MAC address is not registered to this user, or the login "
                                   "has expired or the server restarted: log in again");
    }
    return VELQUOR_TR_NOOP("core", "the login has expired or the server restarted: log in again");
}

}  // namespace

class BatchSender::Window {
public:
    Window(const BatchRun& run, std::size_t toSend, DeviceBatchSummary& summary, RowSink sink)
        : m_endpoint(run.endpoint),
          m_batch(run.batch),
          m_askReplace(run.askReplace),
          m_askWhenSilent(run.questions.whenSilent),
          m_askLoginEnded(run.questions.loginEnded),
          m_reporter(run.reporter),
          m_progress(run.progress),
          m_stop(run.stop),
          m_summary(summary),
          m_sink(std::move(sink)),
          m_toSend(toSend),
          m_jobs(std::clamp<std::size_t>(run.batch.jobs, 1, kMaxBatchJobs)),
          m_pool(run.endpoint, std::min(m_jobs, std::max<std::size_t>(1, toSend))) {}

    support::Status offer(BatchRow row) {
        if (m_sinkStatus) {
            const bool toSend = row.result.outcome == MacOutcome::NotSent && row.line.empty();
            m_window.push_back(
                Entry{std::move(row), toSend ? Stage::Waiting : Stage::Answered, 0, !toSend});
        }
        return pump(false);
    }

    support::Status finish() {
        m_offersEnded = true;
        return pump(true);
    }

private:
    enum class Stage { Waiting, InFlight, Answered };
    struct Entry {
        BatchRow row;
        Stage stage = Stage::Waiting;
        int epoch = 0;        // the try it was sent in (each Retry starts a new one)
        bool passOn = false;  // done before it came: passed on as it is
    };

    // Each pass reports what is done, then settles the questions, then sends what it can. Until
    // the last row, it returns as soon as the window can take another row; after it, once every
    // row is done.
    support::Status pump(bool toTheEnd) {
        for (;;) {
            while (auto more = m_pool.next(std::chrono::milliseconds(0))) collect(*more);
            reportReadyRows();
            if (!m_sinkStatus) return m_sinkStatus;
            if (toTheEnd && m_window.empty()) return {};
            if (!finishing() && m_stop.stop_requested()) cancel();
            if (m_silent && !finishing()) decideAboutSilence();
            if (loginHasEnded() && !finishing()) decideAboutLogin();
            feedPool();
            if (!toTheEnd && m_window.size() < kWindow &&
                (m_nextToFeed == endOfWindow() || !canFeed())) {
                return {};
            }
            if (auto outcome = m_pool.next(kStopCheckInterval)) collect(*outcome);
        }
    }

    std::size_t endOfWindow() const { return m_nextToReport + m_window.size(); }
    Entry& entry(std::size_t row) { return m_window[row - m_nextToReport]; }
    MacResult& resultOf(std::size_t row) { return entry(row).row.result; }
    const MacResult& resultOf(std::size_t row) const {
        return m_window[row - m_nextToReport].row.result;
    }
    bool finishing() const { return m_summary.cancelled || m_stopped || !m_sinkStatus; }
    bool canFeed() const { return !finishing() && !m_silent && m_pool.outstanding() < m_jobs; }

    // Earlier rows first: those released by their MAC's earlier row, then the next of the file.
    void feedPool() {
        while (canFeed()) {
            if (!m_released.empty()) {
                const std::size_t row = *m_released.begin();
                m_released.erase(m_released.begin());
                send(row);
            } else if (m_nextToFeed < endOfWindow()) {
                const std::size_t row = m_nextToFeed++;
                if (entry(row).passOn) continue;
                auto& claims = m_macClaims[resultOf(row).written];
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
            wire::DeviceFields{std::string(operationCode(result.operation)), result.written,
                               serverOfRow(m_batch, result.row), m_batch.userName});
        // The lengths were checked before the batch began; a failure here (a zero byte in a
        // cell) affects this MAC alone.
        if (!record) {
            ExchangeOutcome refused;
            refused.ticket = row;
            refused.stage = FailureStage::Preparing;
            //: %1 is why the record cannot be made
            refused.errorPhrase = support::withCause(
                Phrase{VELQUOR_TR_NOOP("core", "%1; nothing was sent"), {}}, record.error());
            refused.error = refused.errorPhrase.english();
            settle(row, refused);
            return;
        }
        entry(row).stage = Stage::InFlight;
        entry(row).epoch = m_epoch;
        m_pool.submit(row, *record);
    }

    // Whether the server showed it is there: it replied, presented a certificate, or took the
    // record and hung up.
    static bool serverAnswered(const ExchangeOutcome& outcome) {
        switch (outcome.stage) {
            case FailureStage::None:
            case FailureStage::Verifying:
                return true;
            case FailureStage::Exchanging:
                return !outcome.timedOut;
            case FailureStage::Preparing:
            case FailureStage::Connecting:
                return false;
        }
        return false;
    }

    void collect(const ExchangeOutcome& outcome) {
        const std::size_t row = outcome.ticket;
        const bool recordLeft = outcome.stage == FailureStage::Exchanging;
        // Abandoned, or turned away after a Cancel or Stop: a record that never left was not
        // sent; one that left is settled as Unknown when its row is reported.
        if ((outcome.abandoned || finishing()) && outcome.stage == FailureStage::Connecting) {
            entry(row).stage = Stage::Waiting;
            m_outcomes.insert_or_assign(row, outcome);
            return;
        }
        // Exchanges that were already under way when the operator chose Retry say nothing
        // about the new try; one of them that did not reach the server simply goes again.
        const bool earlierTry = entry(row).epoch != m_epoch;
        if (m_askWhenSilent != nullptr && !outcome.abandoned && !earlierTry) noteSilence(outcome);
        if (m_askLoginEnded != nullptr && outcome.stage == FailureStage::None) {
            if (outcome.refusal == ServerRefusal::NotLoggedIn) {
                holdForLogin(row, outcome, earlierTry);
                return;
            }
            m_loginStreak = 0;
            if (outcome.result != kRequestFailed) m_acceptedSinceLogin = true;
        }
        // While the server is not answering, a row that never reached it waits for the
        // operator's decision instead of failing.
        if ((m_silent || earlierTry) && !recordLeft && outcome.stage == FailureStage::Connecting) {
            entry(row).stage = Stage::Waiting;
            m_outcomes.insert_or_assign(row, outcome);
            m_released.insert(row);
            return;
        }
        settle(row, outcome);
    }

    void noteSilence(const ExchangeOutcome& outcome) {
        if (serverAnswered(outcome)) {
            m_everAnswered = true;
            m_silentStreak = 0;
            return;
        }
        const bool silentSign = outcome.stage == FailureStage::Connecting ||
                                (outcome.stage == FailureStage::Exchanging && outcome.timedOut);
        if (!silentSign) return;
        ++m_silentStreak;
        m_silentReason = outcome.error;
        m_silentPhrase = outcome.errorPhrase;
        if (!m_everAnswered || m_silentStreak >= kSilentStreakAfterAnswers) m_silent = true;
    }

    // Why the server seems silent, as the window words it.
    Phrase silentPhrase() const {
        if (!m_silentPhrase.empty() && m_silentPhrase.english() == m_silentReason) {
            return m_silentPhrase;
        }
        return Phrase{"%1", {m_silentReason}, support::markedArgument(1)};
    }

    // Nothing new starts; the operator says whether to try again. The rows that were queued
    // or turned away go out again on Retry and stay unsent on Stop.
    void decideAboutSilence() {
        for (std::size_t row : m_pool.withdrawQueued()) {
            entry(row).stage = Stage::Waiting;
            m_released.insert(row);
        }
        const ServerSilentQuestion& ask = *m_askWhenSilent;
        const bool retry = ask && ask(m_endpoint.address, silentPhrase());
        // A Cancel while the question was open is a Cancel, whatever the answer.
        if (m_stop.stop_requested()) {
            cancel();
            return;
        }
        if (retry) {
            ++m_epoch;
            m_silent = false;
            m_silentStreak = 0;
            m_everAnswered = false;
            m_pool.resume();
            return;
        }
        m_stopped = true;
        m_summary.serverNotAnswering = m_silentReason;
        m_summary.serverNotAnsweringPhrase = m_silentPhrase;
        m_pool.abandon();
    }

    // The row changed nothing on the server and waits: for the new login when it was sent
    // before it, else for the decision a run of such refusals asks for.
    void holdForLogin(std::size_t row, const ExchangeOutcome& outcome, bool earlierTry) {
        entry(row).stage = Stage::Waiting;
        m_outcomes.insert_or_assign(row, outcome);
        if (earlierTry && !m_loginEnded && !finishing()) {
            m_released.insert(row);
            return;
        }
        m_loginRefused.insert(row);
        if (++m_loginStreak >= kLoginEndedStreak) m_loginEnded = true;
    }

    // A run of refusals as not logged in, or held rows with nothing else to come back.
    bool loginHasEnded() const {
        if (m_loginEnded) return true;
        return !m_loginRefused.empty() && m_pool.outstanding() == 0 && m_released.empty() &&
               m_nextToFeed == endOfWindow() && (m_offersEnded || m_window.size() >= kWindow);
    }

    // Nothing new starts; with a password the batch logs in again and the held rows go out
    // again, else every row not done stays unsent. A new login that got nothing accepted is
    // not asked about again.
    void decideAboutLogin() {
        for (std::size_t row : m_pool.withdrawQueued()) {
            entry(row).stage = Stage::Waiting;
            m_released.insert(row);
        }
        const LoginEndedQuestion& ask = *m_askLoginEnded;
        std::optional<std::string> password;
        if (m_acceptedSinceLogin && ask) password = ask(m_endpoint.address);
        if (password && !m_stop.stop_requested() &&
            login(m_endpoint, m_batch.userName, *password, m_reporter, m_stop)) {
            ++m_epoch;
            m_loginEnded = false;
            m_loginStreak = 0;
            m_acceptedSinceLogin = false;
            m_released.insert(m_loginRefused.begin(), m_loginRefused.end());
            m_loginRefused.clear();
            m_pool.resume();
            return;
        }
        if (m_stop.stop_requested()) {
            cancel();
            return;
        }
        // What is in flight comes back as the server answers it; nothing more is sent.
        m_stopped = true;
        m_summary.loginEnded = true;
    }

    void settle(std::size_t row, const ExchangeOutcome& outcome) {
        entry(row).stage = Stage::Answered;
        m_outcomes.insert_or_assign(row, outcome);
        // An "EXIST" to an "ADD" is not the MAC's last word until the operator has decided.
        const bool decisionDue =
            resultOf(row).operation == DeviceOperation::Add && outcome.result == kDeviceExists;
        if (!decisionDue) releaseMac(row);
    }

    // The row's MAC is settled: the next row with the same MAC may go.
    void releaseMac(std::size_t row) {
        auto claims = m_macClaims.find(resultOf(row).written);
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

    // Queued requests are taken back unsent and those in flight are abandoned: a row whose
    // record had left is Unknown, the rest are not sent.
    void cancel() {
        m_summary.cancelled = true;
        for (std::size_t row : m_pool.withdrawQueued()) entry(row).stage = Stage::Waiting;
        m_pool.abandon();
    }

    void reportReadyRows() {
        while (!m_window.empty() && m_sinkStatus && reportHead()) {
        }
    }

    // Settles the first unreported row if it can be; false when it must wait for the network.
    bool reportHead() {
        const std::size_t row = m_nextToReport;
        Entry& head = m_window.front();
        MacResult& result = head.row.result;
        if (head.passOn) return passOnHead();
        switch (head.stage) {
            case Stage::InFlight:
                return false;
            case Stage::Waiting:
                if (!finishing()) return false;
                result.outcome = MacOutcome::NotSent;
                result.setReason(notSentReason());
                m_outcomes.erase(row);
                ++m_sentDone;
                return passOnHead();
            case Stage::Answered:
                break;
        }
        const std::optional<MacOutcome> outcome = outcomeOf(row);
        if (!outcome) return true;  // the "UP" is on its way; look at the row again
        result.outcome = *outcome;
        m_outcomes.erase(row);
        m_progress.progress(++m_sentDone, m_toSend, result.macAddress);
        return passOnHead();
    }

    // The head row, done, to the sink; a row sent in another form than its cell's text says so.
    // A sink that cannot take it ends the batch: nothing more is sent.
    bool passOnHead() {
        BatchRow& row = m_window.front().row;
        if (row.rewritten && row.result.reason.empty())
            row.result.setReason(mac::writtenAsPhrase(row.result.written));
        m_sinkStatus = m_sink(row);
        m_window.pop_front();
        // A row passed on, or left unsent at the end, before its turn to be fed is not fed.
        m_nextToFeed = std::max(m_nextToFeed, ++m_nextToReport);
        if (!m_sinkStatus) m_pool.abandon();
        return true;
    }

    Phrase notSentReason() const {
        if (m_summary.cancelled) {
            return Phrase{VELQUOR_TR_NOOP("core", "cancelled before it was sent"), {}};
        }
        if (m_summary.loginEnded) {
            return Phrase{
                VELQUOR_TR_NOOP("core",
                                "not sent: the login to %1 has ended (the server refused the "
                                "requests as not logged in)"),
                {m_endpoint.address}};
        }
        return support::withReason(
            Phrase{VELQUOR_TR_NOOP("core", "not sent: %1 (%2)"),
                   {formatMessage(kesto_text::kServerNotAnswering, m_endpoint.address)},
                   support::markedArgument(1)},
            m_summary.serverNotAnswering, m_summary.serverNotAnsweringPhrase);
    }

    // Why the row's last exchange did not end in "YES".
    Phrase failureReason(std::size_t row) const {
        const ExchangeOutcome& outcome = m_outcomes.at(row);
        if (outcome.stage != FailureStage::None || refusalSaysWhy(outcome.refusal)) {
            if (!outcome.errorPhrase.empty()) return outcome.errorPhrase;
            return Phrase{"%1", {outcome.error}, support::markedArgument(1)};
        }
        return Phrase{VELQUOR_TR_NOOP("core", "the server replied \"%1\": %2"),
                      {support::escapeNonPrintable(outcome.reply),
                       likelyCauses(resultOf(row).operation, m_anythingAccepted)},
                      support::markedArgument(2)};
    }

    // The row's outcome, reporting its failure message; nothing while an "UP" it asked for is
    // still to be sent.
    std::optional<MacOutcome> outcomeOf(std::size_t row) {
        MacResult& result = resultOf(row);
        const ExchangeOutcome& exchange = m_outcomes.at(row);
        if (exchange.stage == FailureStage::Exchanging) {
            const Phrase noReply{VELQUOR_TR_NOOP("core", "sent, but no reply: %1"), {}};
            if (exchange.abandoned) {
                result.setReason(support::withReason(
                    noReply, m_summary.cancelled
                                 ? VELQUOR_TR_NOOP("core", "abandoned at the cancel")
                                 : VELQUOR_TR_NOOP("core", "abandoned when the batch stopped")));
            } else {
                result.setReason(
                    support::withReason(noReply, exchange.error, exchange.errorPhrase));
            }
            return MacOutcome::Unknown;
        }
        const bool accepted = exchange.result == kRequestAccepted;
        if (accepted || exchange.result == kDeviceExists) m_anythingAccepted = true;
        switch (result.operation) {
            case DeviceOperation::Delete:
                if (accepted) return MacOutcome::Deleted;
                return fail(row, kesto_text::kDeleteFailed, kesto_text::kDeleteDeviceCaption);
            case DeviceOperation::Replace:
                if (accepted) return MacOutcome::Replaced;
                return fail(row, kesto_text::kReplaceFailed, kesto_text::kReplaceDeviceCaption);
            case DeviceOperation::Add:
                break;
        }
        if (accepted) return MacOutcome::Added;
        if (exchange.result != kDeviceExists) {
            return fail(row, kesto_text::kAddFailed, kesto_text::kAddDeviceCaption);
        }
        // Another account's phone is not the operator's to replace, and asking would make it
        // look like theirs: it fails, unasked.
        const std::optional<wire::ListedDevice> registration =
            finishing() ? std::nullopt : registrationOf(result.macAddress);
        if (registration && registration->state == wire::ListedState::Other) {
            return fail(row, kesto_text::kAddFailed, kesto_text::kAddDeviceCaption,
                        Phrase{VELQUOR_TR_NOOP("core", "registered to another account"), {}});
        }
        // After a Cancel nothing new is sent, so there is nothing to ask: the registration stays
        // as the server has it.
        const std::string registeredTo = registration ? registration->server : std::string();
        if (finishing() || !replaceWanted(result.macAddress, registeredTo)) {
            result.setReason(Phrase{
                finishing()
                    ? VELQUOR_TR_NOOP("core", "already registered; not replaced, the batch ended")
                    : VELQUOR_TR_NOOP("core", "already registered; not replaced"),
                {}});
            releaseMac(row);
            return MacOutcome::Declined;
        }
        result.operation = DeviceOperation::Replace;
        send(row);
        return std::nullopt;
    }

    // The server's listing tells whose an "EXIST" is, and with which server text; a server
    // without it leaves the question to be asked as it always was.
    std::optional<wire::ListedDevice> registrationOf(const std::string& macAddress) {
        ProvisioningChannel channel(m_endpoint);
        channel.setStopToken(m_stop);
        auto page = channel.fetchListingPage({m_batch.userName, macAddress, 0, std::string()});
        if (!page || page->rows.size() != 1) return std::nullopt;
        return page->rows.front();
    }

    MacOutcome fail(std::size_t row, std::string_view pattern, std::string_view caption,
                    Phrase reason = {}) {
        MacResult& result = resultOf(row);
        const ExchangeOutcome& exchange = m_outcomes.at(row);
        result.answeredForGood = exchange.stage == FailureStage::None &&
                                 refusedForGood(exchange.refusal, result.operation);
        result.setReason(reason.empty() ? failureReason(row) : std::move(reason));
        if (m_failureMessages < kMaxFailureMessages) {
            ++m_failureMessages;
            m_reporter.reportWorded(formatMessage(pattern, result.macAddress), caption,
                                    result.reasonPhrase);
        }
        return MacOutcome::Failed;
    }

    bool replaceWanted(const std::string& macAddress, const std::string& registeredTo) {
        if (m_standingAnswer) return *m_standingAnswer;
        if (!m_askReplace) return false;
        switch (m_askReplace(macAddress, formatMessage(kesto_text::kReplaceQuestion, macAddress),
                             wire::maskedServerText(registeredTo))) {
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

    const KestoEndpoint& m_endpoint;
    const DeviceBatch& m_batch;
    const ReplaceQuestion& m_askReplace;
    const ServerSilentQuestion* m_askWhenSilent;  // nullptr: never stop for silence
    const LoginEndedQuestion* m_askLoginEnded;    // nullptr: a refusal fails its row
    support::Reporter& m_reporter;
    support::ProgressSink& m_progress;
    const std::stop_token m_stop;
    DeviceBatchSummary& m_summary;
    RowSink m_sink;
    support::Status m_sinkStatus;  // an error once the sink could not take a row

    std::deque<Entry> m_window;  // the rows from m_nextToReport on, as offered
    // The last exchange of each row not yet reported: a batch of a million rows holds only
    // those near the head, not an outcome per row.
    std::unordered_map<std::size_t, ExchangeOutcome> m_outcomes;
    std::size_t m_nextToFeed = 0;
    std::size_t m_nextToReport = 0;
    std::size_t m_toSend;
    std::size_t m_sentDone = 0;  // rows to send that are done (sent or not)
    bool m_offersEnded = false;
    // Per MAC, the fed rows not yet settled, in row order; the first is the one allowed out.
    std::unordered_map<std::string, std::deque<std::size_t>> m_macClaims;
    std::set<std::size_t> m_released;  // rows free to go, waiting for a slot
    std::optional<bool> m_standingAnswer;
    std::size_t m_failureMessages = 0;
    bool m_anythingAccepted = false;  // in row order, as reported
    bool m_everAnswered = false;
    int m_silentStreak = 0;
    bool m_silent = false;   // the batch is paused: the server is not answering
    bool m_stopped = false;  // the operator chose Stop
    int m_epoch = 0;
    std::string m_silentReason;
    Phrase m_silentPhrase;
    std::set<std::size_t> m_loginRefused;  // rows refused as not logged in, held
    int m_loginStreak = 0;
    bool m_loginEnded = false;  // the batch is paused: the server no longer knows the login
    bool m_acceptedSinceLogin = true;
    std::size_t m_jobs;
    ExchangePool m_pool;  // last: its workers finish before the rest goes
};

BatchSender::BatchSender(const BatchRun& run, std::size_t toSend, DeviceBatchSummary& summary,
                         RowSink sink)
    : m_window(std::make_unique<Window>(run, toSend, summary, std::move(sink))) {}

BatchSender::~BatchSender() = default;

support::Status BatchSender::offer(BatchRow row) {
    return m_window->offer(std::move(row));
}

support::Status BatchSender::finish() {
    return m_window->finish();
}

std::string_view batchCaption(DeviceOperation command) {
    return command == DeviceOperation::Delete ? kesto_text::kDeleteDeviceCaption
                                              : kesto_text::kAddDeviceCaption;
}

const std::string& serverOfRow(const DeviceBatch& batch, int row) {
    const auto own = batch.rowServers.find(row);
    return own == batch.rowServers.end() ? batch.server : own->second;
}

support::Status checkBatchTexts(const DeviceBatch& batch) {
    using support::ErrorCode;
    if (batch.server.size() > wire::kServerFieldWidth) {
        //: %1 and %2 are byte counts
        return support::makeError(
            ErrorCode::InvalidInput,
            Phrase{VELQUOR_TR_NOOP("core",
                                   "The Server text is %1 bytes long; its field holds at most %2 "
                                   "bytes."),
                   {std::to_string(batch.server.size()), std::to_string(wire::kServerFieldWidth)}});
    }
    for (const auto& [row, server] : batch.rowServers) {
        if (server.size() <= wire::kServerFieldWidth) continue;
        //: %1 is a row of the device sheet, %2 and %3 are byte counts
        return support::makeError(
            ErrorCode::InvalidInput,
            Phrase{VELQUOR_TR_NOOP("core",
                                   "The Server text of row %1 is %2 bytes long; its field holds "
                                   "at most %3 bytes."),
                   {std::to_string(row), std::to_string(server.size()),
                    std::to_string(wire::kServerFieldWidth)}});
    }
    if (batch.userName.size() > wire::kTextFieldWidth) {
        //: %1 and %2 are byte counts
        return support::makeError(
            ErrorCode::InvalidInput,
            Phrase{VELQUOR_TR_NOOP("core",
                                   "The user name is %1 bytes long; its field holds at most %2 "
                                   "bytes."),
                   {std::to_string(batch.userName.size()), std::to_string(wire::kTextFieldWidth)}});
    }
    return {};
}

void reportBatchEnd(const DeviceBatchSummary& summary, support::Reporter& reporter) {
    const bool deleting = summary.command == DeviceOperation::Delete;
    if (summary.succeeded()) {
        reporter.report(
            deleting ? kesto_text::kDeleteDeviceCompleted : kesto_text::kAddDeviceCompleted,
            batchCaption(summary.command));
    } else {
        reporter.report(describeSummary(summary), batchCaption(summary.command));
    }
}

}  // namespace velquor::provisioning
