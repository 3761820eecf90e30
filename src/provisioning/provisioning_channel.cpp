// The TLS exchange behind ProvisioningChannel: non-blocking socket and TLS with one deadline,
// certificate and address verification before any byte of the record leaves, and the reply
// table. The TLS context and the sessions it resumed live as long as the channel object, so a
// bulk command pays for one full handshake instead of one per record.
#include "provisioning/provisioning_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "support/hex.h"

namespace velquor::provisioning {

namespace {

using Clock = std::chrono::steady_clock;

// The diagnostic lines, byte for byte; they are what an operator greps for.
constexpr const char* kNoContext = "ctx == NULL\n";
constexpr const char* kCaLoadFailed = "Handle failed load here \n";
constexpr const char* kNoConnection = "bio ==NULL\n";
constexpr const char* kConnectFailed = "BIO_do_connect(bio)NULL<=0\n";
constexpr const char* kVerificationFailed = "Handle the failed verification \n";
constexpr const char* kWriteFailed = "write retry error\n";
constexpr const char* kClosedWithoutReply = "read_n == 0\n";
constexpr const char* kReadFailed = "retry error\n";

void printDiagnostic(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

std::string openSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

std::string seconds(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

// The address as the resolver and the certificate check want it: an IPv6 one without brackets.
std::string bareAddress(const std::string& address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

// A socket BIO that never raises SIGPIPE: a server that hangs up while we write must give -1,
// not kill the program.
int socketWrite(BIO* bio, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

int socketRead(BIO* bio, char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t received = ::recv(fd, data, static_cast<std::size_t>(length), 0);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    // TLS asks for end-of-file separately to tell a hang-up from a broken record.
    if (received == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return static_cast<int>(received);
}

long socketControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
        default:
            return 0;
    }
}

int socketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* quietSocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kesto socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, socketWrite);
            BIO_meth_set_read(m, socketRead);
            BIO_meth_set_ctrl(m, socketControl);
            BIO_meth_set_create(m, socketCreate);
        }
        return m;
    }();
    return method;
}

}  // namespace

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

namespace {

// Why an exchange ended early: the line printed (none when nullptr), the reason kept for
// lastError(), and whether it was a time-out.
struct Failure {
    const char* diagnostic;
    std::string reason;
    bool timedOut = false;
};
using MaybeFailure = std::optional<Failure>;

// What the handshake's callbacks leave for the exchange: the latest session ticket and the
// names the server's own certificate carries (for a reason that names both sides).
struct HandshakeNotes {
    SSL_SESSION* newSession = nullptr;
    std::vector<std::string> presentedNames;
};

HandshakeNotes* notesOf(SSL* ssl) {
    return static_cast<HandshakeNotes*>(SSL_get_app_data(ssl));
}

int storeNewSession(SSL* ssl, SSL_SESSION* session) {
    HandshakeNotes* notes = notesOf(ssl);
    if (notes == nullptr) return 0;
    if (notes->newSession != nullptr) SSL_SESSION_free(notes->newSession);
    notes->newSession = session;
    return 1;  // we own it now
}

std::string asn1Text(const ASN1_STRING* text) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                       static_cast<std::size_t>(ASN1_STRING_length(text)));
}

std::string commonName(const X509_NAME* name) {
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at < 0) return {};
    return asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
}

// The DNS names and addresses a certificate is issued for; its common name when it has none.
std::vector<std::string> certificateNames(X509* certificate) {
    std::vector<std::string> names;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS) names.push_back(asn1Text(name->d.dNSName));
        if (name->type == GEN_IPADD) {
            const int length = ASN1_STRING_length(name->d.iPAddress);
            char text[INET6_ADDRSTRLEN] = {};
            if (length == 4 || length == 16) {
                ::inet_ntop(length == 4 ? AF_INET : AF_INET6,
                            ASN1_STRING_get0_data(name->d.iPAddress), text, sizeof text);
                names.emplace_back(text);
            }
        }
    }
    GENERAL_NAMES_free(alternatives);
    if (names.empty()) {
        if (std::string cn = commonName(X509_get_subject_name(certificate)); !cn.empty()) {
            names.push_back(std::move(cn));
        }
    }
    return names;
}

std::string joinNames(const std::vector<std::string>& names) {
    if (names.empty()) return "no name at all";
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

// Keeps the names of the server's own certificate; verification itself is OpenSSL's.
int noteServerCertificate(int preverified, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    HandshakeNotes* notes = ssl == nullptr ? nullptr : notesOf(ssl);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (notes != nullptr && leaf != nullptr && notes->presentedNames.empty()) {
        notes->presentedNames = certificateNames(leaf);
    }
    return preverified;
}

// Makes the client context: TLS 1.2 at least, the peer must verify, trust only the CA file.
MaybeFailure makeContext(const std::string& caFile, const std::string& caProblem, SSL_CTX** out) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        return Failure{kNoContext, "cannot create a TLS context: " + openSslErrors()};
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, noteServerCertificate);
    // A server that hangs up without close_notify has simply not answered.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, storeNewSession);
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        const std::string why = openSslErrors();
        SSL_CTX_free(context);
        if (!caProblem.empty()) return Failure{kCaLoadFailed, caProblem};
        return Failure{kCaLoadFailed, "cannot load the trusted certificates from \"" + caFile +
                                          "\"" + (why.empty() ? "" : ": " + why)};
    }
    *out = context;
    return std::nullopt;
}

int millisecondsLeft(Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT32_MAX));
}

// How often a wait looks at the stop request: a Cancel takes effect within this.
constexpr int kStopCheckMs = 50;

// Waits until fd is ready for what TLS (or connect) asked for; false on time-out, error or a
// stop request.
bool waitFor(int fd, int sslError, Clock::time_point until, const std::stop_token& stop) {
    pollfd p{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        if (stop.stop_requested()) return false;
        const int left = millisecondsLeft(until);
        const int ready = ::poll(&p, 1, stop.stop_possible() ? std::min(left, kStopCheckMs) : left);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && left <= kStopCheckMs) return false;
    }
}

bool wantsIo(int sslError) {
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// One non-blocking TCP connect; the socket on success, -1 with *error set otherwise.
int connectOnce(const addrinfo& candidate, Clock::time_point until, const std::stop_token& stop,
                int* error) {
    const int fd = ::socket(candidate.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (::connect(fd, candidate.ai_addr, candidate.ai_addrlen) != 0) {
        *error = errno == EINPROGRESS ? 0 : errno;
        if (*error == 0 && !waitFor(fd, SSL_ERROR_WANT_WRITE, until, stop)) *error = ETIMEDOUT;
        if (*error == 0) {
            socklen_t length = sizeof *error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &length);
        }
        if (*error != 0) {
            ::close(fd);
            return -1;
        }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

// One connection: socket, TLS object and the deadline they share, and the steps of the exchange
// over them. Each step returns the failure that ends the exchange, if any.
namespace {

struct Exchange {
    Exchange(const KestoEndpoint& endpoint, std::uint16_t port, const ChannelTimeouts& timeouts,
             const std::stop_token& stop)
        : endpoint(endpoint), port(port), timeouts(timeouts), stop(stop) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const KestoEndpoint& endpoint;
    std::uint16_t port;
    const ChannelTimeouts& timeouts;
    const std::stop_token& stop;
    Clock::time_point start = Clock::now();
    // Connection and handshake share the connect time-out; the record and its reply then get
    // the exchange time-out of their own.
    Clock::time_point deadline = start + timeouts.connect;
    std::string address = bareAddress(endpoint.address);
    std::string target = settings::hostAndPort(address, port);  // for messages
    int fd = -1;
    SSL* ssl = nullptr;
    HandshakeNotes notes;

    ~Exchange() {
        if (ssl != nullptr) SSL_free(ssl);
        if (notes.newSession != nullptr) SSL_SESSION_free(notes.newSession);
        if (fd >= 0) ::close(fd);
    }

    // TCP connection to the first of the server's addresses that answers. Each address gets
    // an equal share of what is left of the connect time-out, so one that drops packets
    // leaves time for the next.
    MaybeFailure connect() {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = settings::isIpAddress(address) ? AI_NUMERICHOST : AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        const int status =
            ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
        if (status != 0) {
            return Failure{kConnectFailed, "cannot resolve the server name \"" + address +
                                               "\": " + gai_strerror(status)};
        }
        std::size_t left = 0;
        for (const addrinfo* candidate = found; candidate != nullptr;
             candidate = candidate->ai_next)
            ++left;
        int error = 0;
        for (const addrinfo* candidate = found; candidate != nullptr && fd < 0;
             candidate = candidate->ai_next, --left) {
            const auto share = (deadline - Clock::now()) / static_cast<long>(left);
            fd = connectOnce(*candidate, Clock::now() + share, stop, &error);
        }
        ::freeaddrinfo(found);
        if (fd >= 0) return std::nullopt;
        if (error == ETIMEDOUT) {
            return Failure{kConnectFailed,
                           "no connection to " + target + " within " + seconds(timeouts.connect),
                           true};
        }
        return Failure{kConnectFailed, "cannot connect to " + target + ": " + std::strerror(error)};
    }

    // The TLS object over the socket, bound to the server's identity, offering a session to
    // resume when there is one.
    MaybeFailure prepareTls(SSL_CTX* context, SSL_SESSION* resumable) {
        ssl = SSL_new(context);
        BIO* bio = ssl != nullptr ? BIO_new(quietSocketMethod()) : nullptr;
        if (bio == nullptr) {
            return Failure{kNoConnection, "cannot set up TLS: " + openSslErrors()};
        }
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        SSL_set_bio(ssl, bio, bio);
        SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
        SSL_set_app_data(ssl, &notes);
        // What was asked for must be what the certificate names: an address is checked
        // against its IP entries, a name against its DNS entries. SNI only makes sense for a
        // name.
        if (settings::isIpAddress(address)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str());
        } else {
            SSL_set1_host(ssl, address.c_str());
            SSL_set_tlsext_host_name(ssl, address.c_str());
        }
        if (resumable != nullptr) SSL_set_session(ssl, resumable);
        return std::nullopt;
    }

    // Verification happens inside the handshake, so an unverified server never sees a byte of
    // the record.
    MaybeFailure handshake() {
        for (;;) {
            const int status = SSL_connect(ssl);
            if (status == 1) break;
            const int error = SSL_get_error(ssl, status);
            if (wantsIo(error) && waitFor(fd, error, deadline, stop)) continue;
            if (auto untrusted = verificationFailure()) return untrusted;
            if (wantsIo(error)) {
                return Failure{
                    kConnectFailed,
                    "no TLS handshake with " + target + " within " + seconds(timeouts.connect),
                    true};
            }
            const std::string why = openSslErrors();
            return Failure{kConnectFailed, "TLS handshake with " + target + " failed" +
                                               (why.empty() ? "" : ": " + why)};
        }
        if (auto untrusted = verificationFailure()) return untrusted;
        if (SSL_get0_peer_certificate(ssl) == nullptr) {
            return Failure{kVerificationFailed,
                           "the server at " + target + " presented no certificate"};
        }
        deadline = Clock::now() + timeouts.exchange;
        return std::nullopt;
    }

    MaybeFailure verificationFailure() const {
        const long verification = SSL_get_verify_result(ssl);
        if (verification == X509_V_OK) return std::nullopt;
        if (verification == X509_V_ERR_HOSTNAME_MISMATCH ||
            verification == X509_V_ERR_IP_ADDRESS_MISMATCH) {
            return Failure{kVerificationFailed, "the certificate of " + target + " is for " +
                                                    joinNames(notes.presentedNames) + ", not " +
                                                    address};
        }
        return Failure{kVerificationFailed, "the certificate of " + target + " is not trusted: " +
                                                X509_verify_cert_error_string(verification)};
    }

    // The whole record, however many writes it takes.
    MaybeFailure write(const char* bytes, std::size_t length) {
        std::size_t sent = 0;
        while (sent < length) {
            const int written = SSL_write(ssl, bytes + sent, static_cast<int>(length - sent));
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
                continue;
            }
            const int error = SSL_get_error(ssl, written);
            if (wantsIo(error) && waitFor(fd, error, deadline, stop)) continue;
            return Failure{kWriteFailed,
                           "cannot send the request to " + target +
                               (wantsIo(error) ? " within " + seconds(timeouts.exchange) : ""),
                           wantsIo(error)};
        }
        return std::nullopt;
    }

    // One reply of at most kReplyBufferSize bytes into a zeroed buffer.
    MaybeFailure read(char (&reply)[wire::kReplyBufferSize], std::size_t* received) {
        std::memset(reply, 0, sizeof reply);
        for (;;) {
            const int count = SSL_read(ssl, reply, sizeof reply);
            if (count > 0) {
                *received = static_cast<std::size_t>(count);
                return std::nullopt;
            }
            const int error = SSL_get_error(ssl, count);
            if (error == SSL_ERROR_ZERO_RETURN) {
                return Failure{kClosedWithoutReply,
                               target + " closed the connection without replying"};
            }
            if (!wantsIo(error)) {
                return Failure{kReadFailed, "reading the reply from " + target + " failed"};
            }
            if (!waitFor(fd, error, deadline, stop)) {
                return Failure{kReadFailed,
                               "no reply from " + target + " within " + seconds(timeouts.exchange),
                               true};
            }
        }
    }
};

}  // namespace

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
    return send(m_endpoint.loginPort, wire::kLoginRequestSize, false, request, length);
}

int ProvisioningChannel::SendAccountRequest(const void* request, std::size_t length) {
    return send(m_endpoint.accountPort, wire::kAccountRequestSize, false, request, length);
}

int ProvisioningChannel::SendDeviceRequest(const void* request, std::size_t length) {
    return send(m_endpoint.devicePort, wire::kDeviceRequestSize, true, request, length);
}

int ProvisioningChannel::send(std::uint16_t port, std::size_t expectedLength, bool existAllowed,
                              const void* request, std::size_t length) {
    m_lastError.clear();
    m_lastReply.clear();
    m_timedOut = false;
    m_cancelled = false;
    m_failureStage = FailureStage::Preparing;
    const auto fail = [this](const Failure& failure) {
        if (failure.diagnostic == kVerificationFailed) m_failureStage = FailureStage::Verifying;
        if (m_stop.stop_requested()) {
            m_cancelled = true;
            m_lastError = "cancelled";
            return kRequestFailed;
        }
        if (failure.diagnostic != nullptr) printDiagnostic(failure.diagnostic);
        m_lastError = failure.reason;
        m_timedOut = failure.timedOut;
        return kRequestFailed;
    };
    if (request == nullptr || length != expectedLength) {
        return fail({nullptr,
                     "a request for port " + std::to_string(port) + " must be " +
                         std::to_string(expectedLength) + " bytes, not " + std::to_string(length) +
                         "; nothing was sent",
                     false});
    }

    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ERR_clear_error();
    if (!m_tls) {
        auto state = std::make_unique<TlsState>();
        if (auto failure = makeContext(m_endpoint.caFile, m_endpoint.caProblem, &state->context)) {
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
    char reply[wire::kReplyBufferSize];
    std::size_t received = 0;
    if (auto failure = exchange.read(reply, &received)) return fail(*failure);
    m_lastReply.assign(reply, received);
    m_failureStage = FailureStage::None;

    // The server answered: its latest ticket is worth keeping for the next exchange.
    if (exchange.notes.newSession != nullptr) {
        m_tls->keepSession(port, exchange.notes.newSession);
        exchange.notes.newSession = nullptr;
    }
    SSL_shutdown(exchange.ssl);
    return interpretReply(std::string_view(reply, sizeof reply), existAllowed);
}

int ProvisioningChannel::interpretReply(std::string_view buffer, bool existAllowed) {
    if (wire::replyIs(buffer, wire::kReplyYes)) return kRequestAccepted;
    if (existAllowed && wire::replyIs(buffer, wire::kReplyExist)) {
        m_lastError = "already registered";
        return kDeviceExists;
    }
    m_lastError = "the server refused the request (it replied \"" +
                  support::escapeNonPrintable(m_lastReply) + "\")";
    return kRequestFailed;
}

namespace {

std::string utcText(const ASN1_TIME* time, std::chrono::system_clock::time_point* point) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return "unknown";
    *point = std::chrono::system_clock::from_time_t(::timegm(&parts));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

ServerCertificate describeCertificate(X509* certificate) {
    ServerCertificate described;
    const X509_NAME* subject = X509_get_subject_name(certificate);
    described.subject = commonName(subject);
    if (described.subject.empty()) {
        char line[256];
        X509_NAME_oneline(subject, line, sizeof line);
        described.subject = line;
    }
    described.names = certificateNames(certificate);
    described.notAfter = utcText(X509_get0_notAfter(certificate), &described.expires);
    described.issuer = commonName(X509_get_issuer_name(certificate));
    return described;
}

}  // namespace

support::Result<ServerCertificate> testConnection(const KestoEndpoint& endpoint,
                                                  std::stop_token stop) {
    const auto failed = [&stop](const Failure& failure) {
        if (stop.stop_requested()) {
            return support::makeError(support::ErrorCode::Cancelled, "cancelled");
        }
        return support::makeError(support::ErrorCode::Network, failure.reason);
    };
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ERR_clear_error();
    SSL_CTX* context = nullptr;
    if (auto failure = makeContext(endpoint.caFile, endpoint.caProblem, &context)) {
        return failed(*failure);
    }
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> owned(context, SSL_CTX_free);
    Exchange exchange{endpoint, endpoint.loginPort, endpoint.timeouts, stop};
    if (auto failure = exchange.connect()) return failed(*failure);
    if (auto failure = exchange.prepareTls(context, nullptr)) return failed(*failure);
    if (auto failure = exchange.handshake()) return failed(*failure);
    ServerCertificate described = describeCertificate(SSL_get0_peer_certificate(exchange.ssl));
    SSL_shutdown(exchange.ssl);
    return described;
}

}  // namespace velquor::provisioning
