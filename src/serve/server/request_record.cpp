// A request's record once its answer ended: the fetch log, the site's status and the caller's
// sink; see server_state.h.
#include "serve/server/server_state.h"

namespace velquor::serve {

void PhoneServer::State::completed(Request* request, MHD_RequestTerminationCode how) {
    FetchRecord& record = request->record;
    record.completed = how == MHD_REQUEST_TERMINATED_COMPLETED_OK;
    record.bytes = record.completed && record.method != "HEAD" ? request->bodyBytes : 0;
    record.durationMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - request->started)
            .count());
    if (record.status == 0) record.status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    log.append(record);
    {
        std::lock_guard lock(statusMutex);
        status.apply(record);
        ++requests;
        if (onRecord) onRecord(record);
    }
    delete request;
}

}  // namespace velquor::serve
