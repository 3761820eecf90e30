// A request's answer: who may ask, what was asked, and the file or the refusal sent; see
// server_state.h.
#include <cstring>
#include <optional>
#include <string>

#include "net/ip_address.h"
#include "serve/server/file_answer.h"
#include "serve/server/server_state.h"

namespace velquor::serve {

namespace {

constexpr char kNotFound[] = "Not found\n";
constexpr char kForbidden[] = "Forbidden\n";
constexpr char kNotAllowed[] = "Method not allowed\n";
constexpr char kFolderMissing[] = "Service unavailable: the served folder is not there\n";

// The path's %XX escapes decoded; a NUL among them makes it no path at all.
std::optional<std::string> decodedPath(std::string_view raw) {
    std::string path = unescapeLogText(raw);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

}  // namespace

MHD_Result PhoneServer::State::answer(MHD_Connection* connection, const char* url,
                                      const char* method, void** context) {
    auto* request = new Request;
    *context = request;
    request->started = Steady::now();
    FetchRecord& record = request->record;
    record.time = Clock::now();
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr* peer = info != nullptr ? info->client_addr : nullptr;
    record.peer = net::addressText(peer);
    record.method = method;
    record.path = escapeLogText(url, kLoggedTextBytes, Escaping::RequestPath);
    if (const char* agent =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT))
        record.userAgent = escapeLogText(agent, kLoggedTextBytes);
    if (const MHD_ConnectionInfo* socket =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        request->socket = socket->connect_fd;
        request->ackedAtStart = connectionBytesAcked(request->socket);
    }

    if (!options.allowed.allows(peer)) {
        record.status = MHD_HTTP_FORBIDDEN;
        return queueText(connection, record.status, kForbidden, request->bodyBytes);
    }
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
        record.status = MHD_HTTP_METHOD_NOT_ALLOWED;
        return queueText(connection, record.status, kNotAllowed, request->bodyBytes);
    }
    request->asker = askerOf(peer);
    const GuessingAdmission admitted = guessing.admit(request->asker, provenAsker(record));
    if (!admitted.look) {
        record.status = MHD_HTTP_FORBIDDEN;
        record.refusal = admitted.refusal;
        return queueText(connection, record.status, kForbidden, request->bodyBytes);
    }
    request->lookedAt = true;
    const std::optional<std::string> path = decodedPath(url);
    Lookup found = path ? folder.lookup(*path) : Lookup{};
    record.mac = found.mac;
    if (found.folderMissing) {
        record.status = MHD_HTTP_SERVICE_UNAVAILABLE;
        return queueText(connection, record.status, kFolderMissing, request->bodyBytes);
    }
    if (!found.file) {
        record.status = MHD_HTTP_NOT_FOUND;
        return queueText(connection, record.status, kNotFound, request->bodyBytes);
    }
    record.file = found.file->name;
    MHD_Response* response = fileResponse(*found.file);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType(record.file));
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    record.status = MHD_HTTP_OK;
    request->bodyBytes = head ? 0 : found.file->size;
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace velquor::serve
