// The workers' side of an exchange: records taken fairly from the queue, decided over the
// account store, answered and logged.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include "server/requests/phone_request.h"
#include "server/requests/request_log.h"
#include "server/serving/connection.h"
#include "server/tls/phone_cas.h"

namespace velquor::server {

namespace {

// How long a worker waits for a client to take its reply; replies are a few bytes, so
// only a client that stopped reading can make this matter.
constexpr std::chrono::milliseconds kReplyDeadline{5'000};

}  // namespace

void KestoServer::dispatch(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(m_queueMutex);
        const std::string group = connection->group;
        m_queue.push(group, std::move(connection));
    }
    m_queueReady.notify_one();
}

void KestoServer::workerMain(AccountStore& store) {
    RequestHandler handler(
        store,
        AuthorisationSettings{m_settings.loginLimits, m_settings.grantLifetime, m_hashIterations});
    for (;;) {
        std::optional<std::pair<std::string, std::unique_ptr<Connection>>> next;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueReady.wait(lock, [&] { return m_workersStopping || !m_queue.empty(); });
            next = m_queue.pop();
            if (!next) return;  // stopping, and nothing left to answer
        }
        answer(*next->second, handler, store);
        {
            std::lock_guard lock(m_queueMutex);
            m_queue.done(next->first);
        }
        finish(std::move(next->second));
    }
}

RequestOutcome KestoServer::decide(Connection& connection, RequestHandler& handler,
                                   AccountStore& store) {
    if (connection.kind == RequestKind::Phone) return decidePhone(connection, store);
    RequestOutcome outcome;
    outcome.operation = "-";
    outcome.reply = std::string(wire::kReplyNo);
    if (connection.trailingBytes) {
        outcome.detail = "malformed: more bytes than one record";
        return outcome;
    }
    // The client has given up by now (its time-out is the same order as ours): doing the
    // work would change what it was told nothing about.
    if (Clock::now() >= connection.deadline) {
        outcome.reply = std::string(wire::kReplyTryAgain);
        outcome.detail = "not done: the deadline passed while the request waited for a worker";
        return outcome;
    }
    const bool login = connection.kind == RequestKind::Login;
    if (login && !m_loginRate.reserve(connection.group)) {
        outcome.operation = "LOGIN";
        outcome.reply = std::string(wire::kReplyTryAgain);
        outcome.detail = "too many logins from this address in the last minute";
        outcome.tallied = "logins refused after too many from one address in a minute";
        return outcome;
    }
    // A technician's listing shows every phone this instance answered before it.
    if (m_asks && connection.kind == RequestKind::Device) m_asks->flush();
    store.setDeadline(connection.deadline);
    outcome = handler.handle(connection.kind, connection.peer, connection.record);
    if (login && outcome.reply != wire::kReplyYes) m_loginRate.cancel(connection.group);
    return outcome;
}

// A phone's answer is an HTTP response; the log shows its status and, for a redirect, where to
// (without a password the Server text holds).
RequestOutcome KestoServer::decidePhone(Connection& connection, AccountStore& store) {
    const PhoneRequest request = parsePhoneRequest(connection.record);
    PhoneOutcome phone;
    if (connection.trailingBytes) {
        phone.status = 431;
        phone.detail = phone.tallied = "request head too large";
    } else if (Clock::now() >= connection.deadline) {
        phone.status = 503;
        phone.detail = "not done: the deadline passed while the request waited for a worker";
    } else {
        store.setDeadline(connection.deadline);
        phone = answerPhone(request, phoneProofOf(connection.ssl), store, *m_asks, connection.peer);
    }
    RequestOutcome outcome;
    outcome.operation = request.wellFormed ? request.method : "-";
    outcome.mac = phone.mac;
    outcome.reply = phoneResponse(phone, request.method == "HEAD");
    outcome.logged = std::to_string(phone.status);
    outcome.detail = std::move(phone.detail);
    outcome.tallied = std::move(phone.tallied);
    return outcome;
}

void KestoServer::answer(Connection& connection, RequestHandler& handler, AccountStore& store) {
    const RequestOutcome outcome = decide(connection, handler, store);
    if (connection.kind == RequestKind::Login && outcome.reply == wire::kReplyYes) {
        rememberLogin(connection.group);
    }
    const auto deadline = Clock::now() + kReplyDeadline;
    std::string_view sent = outcome.reply;
    std::string failure;
    for (;;) {
        const int n =
            SSL_write(connection.ssl, outcome.reply.data(), static_cast<int>(outcome.reply.size()));
        if (n > 0) break;
        const int error = SSL_get_error(connection.ssl, n);
        if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
            Clock::now() < deadline) {
            pollfd waitFor{connection.fd,
                           static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
            ::poll(&waitFor, 1, pollTimeoutUntil(deadline));
            continue;
        }
        ERR_clear_error();
        failure = "the reply could not be sent";
        sent = {};
        break;
    }
    if (failure.empty()) {
        SSL_shutdown(connection.ssl);  // a courtesy close_notify; the client has what it needs
        ERR_clear_error();
    }
    std::string detail = outcome.detail;
    if (!failure.empty()) detail += detail.empty() ? failure : "; " + failure;
    if (!outcome.tallied.empty()) {
        // A phone's refusal is bounded per address as a connection's is; a login's per name.
        const bool first =
            connection.kind == RequestKind::Phone
                ? m_logBound.note(connection.group, connection.port, outcome.tallied)
                : m_refusalTally.count({outcome.tallied, outcome.user, connection.group,
                                        connection.port, outcome.reply});
        if (!first) return;
        wakeLoop();  // to write the interval's count when it ends
    }
    writeLogLine(formatLogLine(
        std::chrono::system_clock::now(),
        LogEntry{connection.peer, connection.port, outcome.operation, outcome.user, outcome.mac,
                 sent.empty()             ? std::string_view()
                 : outcome.logged.empty() ? std::string_view(outcome.reply)
                                          : std::string_view(outcome.logged),
                 detail}));
    if (!outcome.notice.empty()) {
        writeLogLine(formatLogLine(std::chrono::system_clock::now(), LogEntry{connection.peer,
                                                                              connection.port,
                                                                              outcome.operation,
                                                                              outcome.user,
                                                                              {},
                                                                              {},
                                                                              outcome.notice}));
    }
}

}  // namespace velquor::server
