// The sending half of a device batch: the rows of a checked MAC file go to the server through an
// ExchangePool, several at once, while everything the operator sees (failure messages, the
// replace question, progress) comes out on the calling thread in row order, so the result is
// the same as sending one row after the other.
//
// The rows flow: the caller offers them one at a time in row order and each comes out, done, to
// the caller's sink in the same order, so a batch of a million rows holds only the window
// between the first row not yet done and the last one offered, never the whole batch.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "provisioning/kesto_operations.h"

namespace velquor::provisioning {

// Without a question (nullptr, not an empty function) every row is tried whatever the server
// does: whenSilent never stops the batch for silence, loginEnded never holds a row refused as
// not logged in (it fails).
struct BatchQuestions {
    const ServerSilentQuestion* whenSilent = nullptr;
    const LoginEndedQuestion* loginEnded = nullptr;
};

// One row of a batch as it is offered and as it comes out.
struct BatchRow {
    // NotSent with the MAC as the record writes it in written: a row to send, whose operation,
    // outcome and reason are filled in. Any other outcome: a row done already (refused,
    // skipped), passed on as it is.
    MacResult result;
    // The written form differs from the cell's text: a row done as asked says so.
    bool rewritten = false;
    // A line of an earlier report that is no part of this batch, passed on as it was read.
    std::vector<std::string> line;
};

// Takes each row once done, in row order; an error stops the batch (as a Cancel would) and is
// returned by the offer or finish that met it.
using RowSink = std::function<support::Status(BatchRow& row)>;

// The settings of a run that stay the same from its first row to its last.
struct BatchRun {
    const KestoEndpoint& endpoint;
    const DeviceBatch& batch;
    const ReplaceQuestion& askReplace;
    BatchQuestions questions;
    support::Reporter& reporter;
    support::ProgressSink& progress;
    const std::stop_token& stop;
};

class BatchSender {
public:
    // toSend: how many of the rows to come will be sent, for the progress and the number of
    // connections. summary.command is the batch's; summary.cancelled is set when stop cut the
    // run short, summary.serverNotAnswering when the server did not answer and the batch
    // stopped, summary.loginEnded when the login ended and none followed.
    BatchSender(const BatchRun& run, std::size_t toSend, DeviceBatchSummary& summary, RowSink sink);
    ~BatchSender();
    BatchSender(const BatchSender&) = delete;
    BatchSender& operator=(const BatchSender&) = delete;

    // Takes the next row, in row order; returns once there is room for another, having sent
    // what it could and passed on every row done meanwhile.
    support::Status offer(BatchRow row);
    // After the last row: waits until every row is done and passed on.
    support::Status finish();

    // At most this many rows are held between the first not yet done and the last offered; an
    // offer beyond waits for the first to be done.
    static constexpr std::size_t kWindow = 4096;

private:
    class Window;
    std::unique_ptr<Window> m_window;
};

// "Add device" or "Delete device": the caption of a batch's boxes.
std::string_view batchCaption(DeviceOperation command);

// The batch's own texts (the Server text, the user name) checked against their fields before the
// first request: a batch refused halfway through would leave the server with part of the file.
support::Status checkBatchTexts(const DeviceBatch& batch);

// The closing text of a batch: the completion text when no request failed or went unsent
// (declined replacements and empty cells are the operator's choice and the file's shape), else
// the summary.
void reportBatchEnd(const DeviceBatchSummary& summary, support::Reporter& reporter);

}  // namespace velquor::provisioning
