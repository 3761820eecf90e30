// A request's record once its answer ended: the site's status, the fetch log (through the
// summary of refusals) and the caller's sink; see server_state.h.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "serve/server/server_state.h"

namespace velquor::serve {

std::uint64_t connectionBytesAcked(int socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (socket < 0 || ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return 0;
    return info.tcpi_bytes_acked;
}

namespace {

// What went out of the body: all of it when the answer completed, else what the client
// acknowledged of this answer (its header with it), never more than the body; nothing of a
// short answer, which goes out in one write.
std::uint64_t bodyBytesSent(const PhoneServer::State::Request& request, bool completed) {
    if (request.record.method == "HEAD") return 0;
    if (completed) return request.bodyBytes;
    if (!request.measured) return 0;
    const std::uint64_t acked = connectionBytesAcked(request.socket);
    const std::uint64_t sent = acked > request.ackedAtStart ? acked - request.ackedAtStart : 0;
    return std::min(sent, request.bodyBytes);
}

}  // namespace

void PhoneServer::State::completed(Request* request, MHD_RequestTerminationCode how) {
    FetchRecord& record = request->record;
    record.completed = how == MHD_REQUEST_TERMINATED_COMPLETED_OK;
    record.bytes = bodyBytesSent(*request, record.completed);
    record.durationMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - request->started)
            .count());
    if (record.status == 0) record.status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    // A bare challenge is how digest starts, no miss; after an unproven answer on its
    // connection it counts among the network's looks all the same.
    if (request->counted && (!request->challengedOnly || request->repeated))
        guessing.record(request->asker, provenAsker(record),
                        !request->challengedOnly && missedRequest(record), request->repeated);
    finish(record);
    delete request;
}

void PhoneServer::State::finish(const FetchRecord& record) {
    bool ofSite = false;
    {
        std::lock_guard lock(statusMutex);
        status.apply(record);
        ofSite = status.inSite(record.mac);
        ++requests;
    }
    if (summary.admit(record, ofSite)) publish(record);
}

void PhoneServer::State::publish(const FetchRecord& record) {
    log.append(record);
    if (output) output->push(record);
}

void PhoneServer::State::publishSummaries(bool all) {
    for (const FetchRecord& line : summary.due(LogSummary::Steady::now(), all)) publish(line);
}

}  // namespace velquor::serve
