// The sending half of a device batch: the rows of a read and checked MAC file go to the server
// through an ExchangePool, several at once, while everything the operator sees (failure
// messages, the replace question, progress) comes out on the calling thread in row order, so
// the result is the same as sending one row after the other.
#pragma once

#include <stop_token>

#include "provisioning/kesto_operations.h"

namespace velquor::provisioning {

// summary.results holds one NotSent row per MAC, in row order, with summary.command set; each
// row's operation, outcome and reason are filled in, summary.cancelled when stop cut the run
// short, summary.serverNotAnswering when the server did not answer and the batch stopped, and
// summary.loginEnded when the login ended and none followed.
// Without a question (nullptr, not an empty function) every row is tried whatever the server
// does: whenSilent never stops the batch for silence, loginEnded never holds a row refused as
// not logged in (it fails).
struct BatchQuestions {
    const ServerSilentQuestion* whenSilent = nullptr;
    const LoginEndedQuestion* loginEnded = nullptr;
};
void sendDeviceBatch(const KestoEndpoint& endpoint, const DeviceBatch& batch,
                     const ReplaceQuestion& askReplace, const BatchQuestions& questions,
                     support::Reporter& reporter, support::ProgressSink& progress,
                     const std::stop_token& stop, DeviceBatchSummary& summary);

}  // namespace velquor::provisioning
