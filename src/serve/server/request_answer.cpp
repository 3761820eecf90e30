// A request's answer: who may ask, what was asked, and the file or the refusal sent; see
// server_state.h.
#include <unistd.h>

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
constexpr char kUnauthorized[] = "Unauthorized\n";
constexpr char kFolderMissing[] = "Service unavailable: the served folder is not there\n";

// The path's %XX escapes decoded; a NUL among them makes it no path at all.
std::optional<std::string> decodedPath(std::string_view raw) {
    std::string path = unescapeLogText(raw);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

// A 401 with the digest challenges, a new nonce in them; stale when the password was right.
MHD_Result queueChallenge(MHD_Connection* connection, DigestAuth& digest,
                          const DigestOutcome& outcome, PhoneServer::State::Request& request) {
    request.record.status = MHD_HTTP_UNAUTHORIZED;
    request.record.refusal = outcome.reason();
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(kUnauthorized), const_cast<char*>(kUnauthorized), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    for (const std::string& challenge :
         digest.challenges(outcome.kind == DigestOutcome::Kind::Stale))
        MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, challenge.c_str());
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_UNAUTHORIZED, response);
    MHD_destroy_response(response);
    request.bodyBytes = std::strlen(kUnauthorized);
    return queued;
}

}  // namespace

std::optional<std::string> PhoneServer::State::proofRefusal(MHD_Connection* connection,
                                                            const DigestOutcome& proven,
                                                            std::string_view askedMac,
                                                            FetchRecord& record) {
    if (proven.proven()) return wrongUser(proven, askedMac);
    if (phoneCasPem.empty()) return std::nullopt;
    CertificateDecision decision = decideByCertificate(peerCertificate(connection), askedMac);
    if (!decision.allowed) return std::move(decision.refusal);
    record.proof = std::move(decision.proof);
    return std::nullopt;
}

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
    record.proof = "none";  // until a certificate or digest credentials prove the asker
    record.path = escapeLogText(url, kLoggedTextBytes, Escaping::RequestPath);
    if (const char* agent =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT))
        record.userAgent = escapeLogText(agent, kLoggedTextBytes);
    if (const MHD_ConnectionInfo* socket =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        request->socket = socket->connect_fd;
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
    const OpenConnection* open = openConnectionOf(connection);
    const Waiting waiting =
        open != nullptr && open->answeredUnproven ? Waiting::May : Waiting::Cannot;
    return answerUnlessHeldBack(connection, url, method, *request, waiting);
}

MHD_Result PhoneServer::State::answerAfterWait(MHD_Connection* connection, const char* url,
                                               const char* method, Request& request) {
    request.held = false;
    if (request.letGo) {
        // Its client gone or the server stopping: the answer it has, and the connection ends.
        request.counted = false;
        return queueText(connection, request.record.status, kForbidden, request.bodyBytes, true);
    }
    request.record.status = 0;
    request.record.refusal.clear();
    return answerUnlessHeldBack(connection, url, method, request, Waiting::TurnCame);
}

MHD_Result PhoneServer::State::answerUnlessHeldBack(MHD_Connection* connection, const char* url,
                                                    const char* method, Request& request,
                                                    Waiting waiting) {
    FetchRecord& record = request.record;
    if (std::optional<std::string> held = guessing.heldBack(request.asker)) {
        request.counted = false;
        record.status = MHD_HTTP_FORBIDDEN;
        record.refusal = std::move(*held);
        return answerUnproven(connection,
                              queueText(connection, record.status, kForbidden, request.bodyBytes));
    }
    request.counted = true;
    const MHD_Result answered = answerAsker(connection, url, method, request, waiting);
    if (request.held || record.proof != "none") return answered;
    if (record.status == MHD_HTTP_UNAUTHORIZED || record.status == MHD_HTTP_FORBIDDEN ||
        record.status == MHD_HTTP_NOT_FOUND)
        return answerUnproven(connection, answered);
    return answered;
}

MHD_Result PhoneServer::State::answerUnproven(MHD_Connection* connection, MHD_Result answered) {
    if (OpenConnection* open = openConnectionOf(connection)) open->answeredUnproven = true;
    return answered;
}

MHD_Result PhoneServer::State::holdOrRefuse(MHD_Connection* connection, Request& request,
                                            const GuessingAdmission& admitted) {
    FetchRecord& record = request.record;
    // As the log has it should the server stop while it waits.
    record.status = MHD_HTTP_FORBIDDEN;
    record.refusal = admitted.refusal;
    request.held = true;
    const auto turn = Steady::now() + admitted.waitFor;
    if (held->hold(
            request.socket, turn, [connection] { MHD_suspend_connection(connection); },
            [connection, &request](bool turnCame) {
                request.letGo = !turnCame;
                MHD_resume_connection(connection);
            }))
        return MHD_YES;
    // No more may wait (or the server is stopping): answered at once, its connection closed,
    // so that it asks again only after a new connection's challenge.
    request.held = false;
    request.counted = false;
    record.refusal = "too many guesses from " + request.asker.network.text() +
                     "; not held (no room to wait, or stopping), the connection closed";
    return queueText(connection, record.status, kForbidden, request.bodyBytes, true);
}

MHD_Result PhoneServer::State::answerAsker(MHD_Connection* connection, const char* url,
                                           const char* method, Request& request, Waiting waiting) {
    FetchRecord& record = request.record;
    // A valid phone's certificate proves its asker; else digest credentials, where the site
    // has them, are asked for. A site may mix phones of both kinds.
    const bool certified =
        !phoneCasPem.empty() && peerCertificate(connection).verdict == CertificateVerdict::Valid;
    DigestOutcome proven;
    if (digest && !certified) {
        const char* authorization =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        proven = digest->check(authorization != nullptr ? authorization : "", method, url);
    }
    // An unproven asker that was answered unproven on this connection already counts among its
    // network's looks, and past them waits for its turn.
    const bool unproven = !certified && !proven.proven();
    bool admittedAlready = false;
    if (unproven && waiting != Waiting::Cannot) {
        const GuessingAdmission admitted = guessing.admit(request.asker, false, waiting);
        if (admitted.waitFor > std::chrono::milliseconds(0))
            return holdOrRefuse(connection, request, admitted);
        if (!admitted.look) {
            request.counted = false;
            record.status = MHD_HTTP_FORBIDDEN;
            record.refusal = admitted.refusal;
            return queueText(connection, record.status, kForbidden, request.bodyBytes);
        }
        request.repeated = true;
        admittedAlready = true;
    }
    if (digest && !certified) {
        if (!proven.proven()) {
            request.challengedOnly = proven.kind == DigestOutcome::Kind::Missing ||
                                     proven.kind == DigestOutcome::Kind::Stale;
            return queueChallenge(connection, *digest, proven, request);
        }
        record.proof = "digest:" + proven.user;
    }
    if (!admittedAlready) {
        const GuessingAdmission admitted =
            guessing.admit(request.asker, certified || provenAsker(record));
        if (!admitted.look) {
            request.counted = false;
            record.status = MHD_HTTP_FORBIDDEN;
            record.refusal = admitted.refusal;
            return queueText(connection, record.status, kForbidden, request.bodyBytes);
        }
    }
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const std::optional<std::string> path = decodedPath(url);
    Lookup found = path ? folder.lookup(*path) : Lookup{};
    record.mac = found.mac;
    if (std::optional<std::string> refusal = proofRefusal(connection, proven, found.mac, record)) {
        if (found.file) ::close(found.file->fd);
        record.status = MHD_HTTP_FORBIDDEN;
        record.refusal = std::move(*refusal);
        return queueText(connection, record.status, kForbidden, request.bodyBytes);
    }
    if (found.folderMissing) {
        record.status = MHD_HTTP_SERVICE_UNAVAILABLE;
        return queueText(connection, record.status, kFolderMissing, request.bodyBytes);
    }
    if (!found.file) {
        record.status = MHD_HTTP_NOT_FOUND;
        return queueText(connection, record.status, kNotFound, request.bodyBytes);
    }
    record.file = found.file->name;
    MHD_Response* response = fileResponse(*found.file);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType(record.file));
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    record.status = MHD_HTTP_OK;
    request.bodyBytes = head ? 0 : found.file->size;
    // What the client has taken so far, to tell how much of a long answer it took if it
    // leaves; a short one is sent whole or not at all, and costs no look.
    if (!sentWithItsHeader(request.bodyBytes)) {
        request.ackedAtStart = connectionBytesAcked(request.socket);
        request.measured = true;
    }
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace velquor::serve
