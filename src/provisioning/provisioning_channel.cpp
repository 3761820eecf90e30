// The TLS exchange behind ProvisioningChannel: non-blocking socket and TLS with one deadline,
// certificate and address verification before any byte of the record leaves, and the reply
// table. The TLS context and the sessions it resumed live as long as the channel object, so a
// bulk command pays for one full handshake instead of one per record.
#include "provisioning/provisioning_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>

#include "provisioning/channel_parts.h"
#include "support/hex.h"

namespace velquor::provisioning {

using namespace channel;

namespace {

std::atomic<std::FILE*>& diagnosticStream() {
    static std::atomic<std::FILE*> stream{stdout};
    return stream;
}

void printDiagnostic(const char* line) {
    std::FILE* stream = diagnosticStream().load();
    if (stream == nullptr) return;
    std::fputs(line, stream);
    std::fflush(stream);
}

}  // namespace

void setDiagnosticStream(std::FILE* stream) {
    diagnosticStream().store(stream);
}

// The context (trust anchors loaded) and the last session each port handed out.
struct ProvisioningChannel::TlsState {
    SSL_CTX* context = nullptr;
    std::map<std::uint16_t, SSL_SESSION*> sessions;

    ~TlsState() {
        for (auto& [port, session] : sessions) SSL_SESSION_free(session);
        SSL_CTX_free(context);
    }

    void keepSession(std::uint16_t port, SSL_SESSION* session) {
        auto [it, inserted] = sessions.emplace(port, session);
        if (!inserted) {
            SSL_SESSION_free(it->second);
            it->second = session;
        }
    }

    SSL_SESSION* sessionFor(std::uint16_t port) const {
        auto it = sessions.find(port);
        return it == sessions.end() ? nullptr : it->second;
    }

    void forgetSession(std::uint16_t port) {
        auto it = sessions.find(port);
        if (it == sessions.end()) return;
        SSL_SESSION_free(it->second);
        sessions.erase(it);
    }
};

namespace channel {

MaybeFailure Exchange::write(const char* bytes, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        const int written = SSL_write(ssl, bytes + sent, static_cast<int>(length - sent));
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        const int error = SSL_get_error(ssl, written);
        if (wantsIo(error) && waitFor(fd, error, deadline, stop)) continue;
        if (!wantsIo(error)) {
            return wordedFailure(
                kWriteFailed,
                support::Phrase{VELQUOR_TR_NOOP("core", "cannot send the request to %1"),
                                {target}});
        }
        //: %1 is the server's host:port, %2 the time allowed ("10 s")
        return wordedFailure(
            kWriteFailed,
            support::Phrase{VELQUOR_TR_NOOP("core", "cannot send the request to %1 within %2"),
                            {target, seconds(timeouts.exchange)}},
            true);
    }
    return std::nullopt;
}

MaybeFailure Exchange::read(char (&reply)[wire::kReplyBufferSize], std::size_t* received) {
    std::memset(reply, 0, sizeof reply);
    for (;;) {
        const int count = SSL_read(ssl, reply, sizeof reply);
        if (count > 0) {
            *received = static_cast<std::size_t>(count);
            return std::nullopt;
        }
        const int error = SSL_get_error(ssl, count);
        if (error == SSL_ERROR_ZERO_RETURN) return closedWithoutReply();
        if (!wantsIo(error)) return readingFailed();
        if (!waitFor(fd, error, deadline, stop)) return noReplyInTime();
    }
}

Failure Exchange::closedWithoutReply() const {
    //: %1 is the server's host:port
    return wordedFailure(
        kClosedWithoutReply,
        support::Phrase{VELQUOR_TR_NOOP("core", "%1 closed the connection without replying"),
                        {target}});
}

Failure Exchange::readingFailed() const {
    //: %1 is the server's host:port
    return wordedFailure(
        kReadFailed,
        support::Phrase{VELQUOR_TR_NOOP("core", "reading the reply from %1 failed"), {target}});
}

Failure Exchange::noReplyInTime() const {
    //: %1 is the server's host:port, %2 the time allowed ("10 s")
    return wordedFailure(kReadFailed,
                         support::Phrase{VELQUOR_TR_NOOP("core", "no reply from %1 within %2"),
                                         {target, seconds(timeouts.exchange)}},
                         true);
}

}  // namespace channel

KestoEndpoint endpointFromSettings(const settings::KestoSettings& settings,
                                   const settings::SettingsPaths& paths) {
    KestoEndpoint endpoint;
    endpoint.address = settings.address.value;
    endpoint.loginPort = settings.ports.value[0];
    endpoint.accountPort = settings.ports.value[1];
    endpoint.devicePort = settings.ports.value[2];
    const settings::CaFileLookup lookup = settings::findCaFile(settings, paths);
    if (lookup.found) {
        endpoint.caFile = lookup.found->string();
    } else {
        endpoint.caFile = lookup.searched.empty() ? "cacert.pem" : lookup.searched.front().string();
        endpoint.caProblem = lookup.problem;
        endpoint.caProblemPhrase = lookup.problemPhrase;
    }
    endpoint.timeouts.connect = settings.connectTimeout.value;
    endpoint.timeouts.exchange = settings.exchangeTimeout.value;
    return endpoint;
}

ProvisioningChannel::ProvisioningChannel(KestoEndpoint endpoint)
    : m_endpoint(std::move(endpoint)), m_timeouts(m_endpoint.timeouts) {}

ProvisioningChannel::ProvisioningChannel(KestoEndpoint endpoint, ChannelTimeouts timeouts)
    : m_endpoint(std::move(endpoint)), m_timeouts(timeouts) {}

ProvisioningChannel::~ProvisioningChannel() = default;
ProvisioningChannel::ProvisioningChannel(ProvisioningChannel&&) noexcept = default;
ProvisioningChannel& ProvisioningChannel::operator=(ProvisioningChannel&&) noexcept = default;

int ProvisioningChannel::SendLoginRequest(const void* request, std::size_t length) {
    const std::string_view name =
        request != nullptr && length >= wire::kTextFieldWidth
            ? wire::fieldText(static_cast<const char*>(request), wire::kTextFieldWidth)
            : std::string_view();
    return send(m_endpoint.loginPort, wire::kLoginRequestSize, false, request, length, name);
}

int ProvisioningChannel::SendAccountRequest(const void* request, std::size_t length) {
    return send(m_endpoint.accountPort, wire::kAccountRequestSize, false, request, length);
}

int ProvisioningChannel::SendDeviceRequest(const void* request, std::size_t length) {
    return send(m_endpoint.devicePort, wire::kDeviceRequestSize, true, request, length);
}

int ProvisioningChannel::send(std::uint16_t port, std::size_t expectedLength, bool existAllowed,
                              const void* request, std::size_t length, std::string_view loginName) {
    char reply[wire::kReplyBufferSize];
    std::size_t received = 0;
    const bool replied = transact(port, expectedLength, request, length, [&](Exchange& exchange) {
        return exchange.read(reply, &received);
    });
    if (!replied) return kRequestFailed;
    m_lastReply.assign(reply, received);
    return interpretReply(std::string_view(reply, sizeof reply), existAllowed, loginName);
}

bool ProvisioningChannel::transact(std::uint16_t port, std::size_t expectedLength,
                                   const void* request, std::size_t length,
                                   const std::function<MaybeFailure(Exchange&)>& readReply) {
    m_lastError.clear();
    m_lastErrorPhrase = {};
    m_lastReply.clear();
    m_refusal = ServerRefusal::None;
    m_timedOut = false;
    m_cancelled = false;
    m_failureStage = FailureStage::Preparing;
    const auto fail = [this](const Failure& failure) {
        // By text, not by address: the failure is made in another file, whose copy of the
        // literal need not be this one.
        if (failure.diagnostic != nullptr &&
            std::string_view(failure.diagnostic) == std::string_view(kVerificationFailed)) {
            m_failureStage = FailureStage::Verifying;
        }
        if (m_stop.stop_requested()) {
            m_cancelled = true;
            m_lastErrorPhrase = support::Phrase{VELQUOR_TR_NOOP("core", "cancelled"), {}};
            m_lastError = m_lastErrorPhrase.english();
            return false;
        }
        if (failure.diagnostic != nullptr) printDiagnostic(failure.diagnostic);
        m_lastError = failure.reason;
        m_lastErrorPhrase = failure.phrase;
        m_timedOut = failure.timedOut;
        return false;
    };
    if (request == nullptr || length != expectedLength) {
        //: %1 is a port number, %2 and %3 byte counts
        return fail(wordedFailure(
            nullptr, support::Phrase{VELQUOR_TR_NOOP("core",
                                                     "a request for port %1 must be %2 bytes, not "
                                                     "%3; nothing was sent"),
                                     {std::to_string(port), std::to_string(expectedLength),
                                      std::to_string(length)}}));
    }

    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ERR_clear_error();
    if (!m_tls) {
        auto state = std::make_unique<TlsState>();
        if (auto failure = makeContext(m_endpoint, &state->context)) {
            return fail(*failure);
        }
        m_tls = std::move(state);
    }

    Exchange exchange{m_endpoint, port, m_timeouts, m_stop};
    m_failureStage = FailureStage::Connecting;
    if (auto failure = exchange.connect()) return fail(*failure);
    m_failureStage = FailureStage::Preparing;
    if (auto failure = exchange.prepareTls(m_tls->context, m_tls->sessionFor(port))) {
        return fail(*failure);
    }
    m_failureStage = FailureStage::Connecting;
    if (auto failure = exchange.handshake()) {
        m_tls->forgetSession(port);
        return fail(*failure);
    }
    if (SSL_session_reused(exchange.ssl)) ++m_resumedSessions;
    m_failureStage = FailureStage::Exchanging;
    if (auto failure = exchange.write(static_cast<const char*>(request), length)) {
        return fail(*failure);
    }
    if (auto failure = readReply(exchange)) return fail(*failure);
    m_failureStage = FailureStage::None;

    // The server answered: its latest ticket is worth keeping for the next exchange.
    if (exchange.notes.newSession != nullptr) {
        m_tls->keepSession(port, exchange.notes.newSession);
        exchange.notes.newSession = nullptr;
    }
    SSL_shutdown(exchange.ssl);
    return true;
}

int ProvisioningChannel::interpretReply(std::string_view buffer, bool existAllowed,
                                        std::string_view loginName) {
    if (wire::replyIs(buffer, wire::kReplyYes)) return kRequestAccepted;
    if (existAllowed && wire::replyIs(buffer, wire::kReplyExist)) {
        m_lastError = VELQUOR_TR_NOOP("core", "already registered");
        return kDeviceExists;
    }
    // The words that say why are worded here; a bare "NO" leaves the likely causes to the
    // caller, who knows what was asked.
    struct Worded {
        std::string_view word;
        ServerRefusal refusal;
        std::string_view reason;
    };
    static constexpr Worded kWorded[] = {
        {wire::kReplyNotLoggedIn, ServerRefusal::NotLoggedIn,
         VELQUOR_TR_NOOP("core",
                         "not logged in from this address (the login expired, the password was "
                         "changed or the server restarted): log in again")},
        {wire::kReplyTryAgain, ServerRefusal::TryAgain,
         VELQUOR_TR_NOOP("core",
                         "the server could not do it now and changed nothing: try again later")},
        {wire::kReplyNotAcceptable, ServerRefusal::NotAcceptable,
         VELQUOR_TR_NOOP("core",
                         "the server does not accept the name, MAC address or password as "
                         "given")},
    };
    if (const auto failures = wire::heldBackFailures(buffer)) {
        m_refusal = ServerRefusal::HeldBack;
        //: %1 is the user name, %2 a number of failed logins
        const support::Phrase reason{
            VELQUOR_TR_NOOP("core",
                            "logins of %1 are being held back after %2 failed attempts from "
                            "elsewhere; ask the administrator to trust this address"),
            {support::escapeNonPrintable(loginName), std::to_string(*failures)}};
        m_lastErrorPhrase =
            support::Phrase{VELQUOR_TR_NOOP("core", "%1 (it replied \"%2\")"),
                            {reason.english(), support::escapeNonPrintable(m_lastReply)},
                            0,
                            {reason}};
        m_lastError = m_lastErrorPhrase.english();
        return kRequestFailed;
    }
    for (const Worded& worded : kWorded) {
        if (wire::replyIs(buffer, worded.word)) {
            m_refusal = worded.refusal;
            m_lastErrorPhrase =
                support::Phrase{VELQUOR_TR_NOOP("core", "%1 (it replied \"%2\")"),
                                {std::string(worded.reason), std::string(worded.word)},
                                support::markedArgument(1)};
            m_lastError = m_lastErrorPhrase.english();
            return kRequestFailed;
        }
    }
    m_refusal = ServerRefusal::Refused;
    m_lastErrorPhrase = support::Phrase{
        VELQUOR_TR_NOOP("core", "the server refused the request (it replied \"%1\")"),
        {support::escapeNonPrintable(m_lastReply)}};
    m_lastError = m_lastErrorPhrase.english();
    return kRequestFailed;
}

}  // namespace velquor::provisioning
