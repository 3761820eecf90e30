// The phone server on libmicrohttpd; see phone_server.h.
#include "serve/server/phone_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "net/descriptor_limit.h"
#include "net/host_address.h"
#include "net/ip_address.h"
#include "net/socket_address.h"
#include "serve/folder/phone_folder.h"
#include "serve/folder/plain_files.h"
#include "serve/server/server_state.h"
#include "support/input_file.h"

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr auto kFlushInterval = std::chrono::milliseconds(250);
// TLS 1.2 and 1.3 only, forward-secret key exchange and AEAD ciphers only (AES-GCM,
// ChaCha20-Poly1305), the server's order first: never CBC, never TLS 1.1 or older.
constexpr char kTlsPriorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";

// libmicrohttpd decodes the path by itself unless told otherwise: the raw path is kept, so the
// log has it as asked and a %00 or %2e%2e is seen by the rules below rather than lost.
size_t keepEscapes(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

}  // namespace

void PhoneServer::State::flushLoop() {
    std::unique_lock lock(flushMutex);
    while (!stopping) {
        flushWake.wait_for(lock, kFlushInterval);
        lock.unlock();
        publishSummaries(false);
        (void)log.flush();
        lock.lock();
    }
}

OpenConnection* openConnectionOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<OpenConnection*>(info->socket_context) : nullptr;
}

namespace {

ConnectionGuard::Tracked* trackedOf(MHD_Connection* connection) {
    OpenConnection* open = openConnectionOf(connection);
    return open != nullptr ? open->tracked : nullptr;
}

MHD_Result onAccept(void* cls, const sockaddr* peer, socklen_t) {
    return static_cast<PhoneServer::State*>(cls)->guard->admit(peer) ? MHD_YES : MHD_NO;
}

// The status of the refusal the library last sent on this serving thread (414, 431, 400) of a
// request it never handed on, which its message told; the connection it closes next while
// waiting for a request is that one.
thread_local unsigned t_refusedWith = 0;

// Such a refusal, recorded as the handler's answers are: the peer and the status.
void recordRefusal(PhoneServer::State& state, MHD_Connection* connection, unsigned status) {
    const MHD_ConnectionInfo* peer =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    auto* request = new PhoneServer::State::Request;
    request->started = Steady::now();
    request->record.time = Clock::now();
    request->record.peer = net::addressText(peer != nullptr ? peer->client_addr : nullptr);
    request->record.status = static_cast<int>(status);
    state.completed(request, MHD_REQUEST_TERMINATED_WITH_ERROR);
}

void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code) {
    auto* state = static_cast<PhoneServer::State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        // Untracked without its socket (never so on Linux): the place admitted for it is
        // given back at the thread's next admission.
        if (fd != nullptr)
            *socketContext = new OpenConnection{
                state->guard->opened(fd->connect_fd, peer != nullptr ? peer->client_addr : nullptr),
                std::nullopt};
        return;
    }
    auto* open = static_cast<OpenConnection*>(*socketContext);
    if (open == nullptr) return;
    if (t_refusedWith != 0 && state->guard->leftWaiting(open->tracked)) {
        recordRefusal(*state, connection, t_refusedWith);
        t_refusedWith = 0;
    }
    state->guard->closed(open->tracked);
    delete open;
    *socketContext = nullptr;
}

// The mark of a request whose headers came: it is answered once it is whole. An answer queued
// on the headers alone tells the library the rest of the request will never be read, and it
// closes the connection after it: no keep-alive.
char headersCame;

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char*, size_t* uploadSize, void** context) {
    auto* state = static_cast<PhoneServer::State*>(cls);
    if (*context == nullptr) {
        *context = &headersCame;
        return MHD_YES;
    }
    if (*context != &headersCame) {
        // Called again for a request that was answered or held: a held one's turn came.
        auto* request = static_cast<PhoneServer::State::Request*>(*context);
        if (request->held && *uploadSize == 0)
            return state->answerAfterWait(connection, url, method, *request);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        // A body: it is read and dropped, never kept.
        *uploadSize = 0;
        return MHD_YES;
    }
    if (ConnectionGuard::Tracked* tracked = trackedOf(connection))
        state->guard->requestArrived(tracked);
    return state->answer(connection, url, method, context);
}

void onCompleted(void* cls, MHD_Connection* connection, void** context,
                 MHD_RequestTerminationCode how) {
    auto* state = static_cast<PhoneServer::State*>(cls);
    if (ConnectionGuard::Tracked* tracked = trackedOf(connection))
        state->guard->answerEnded(tracked);
    if (*context == nullptr || *context == &headersCame) return;  // never answered
    state->completed(static_cast<PhoneServer::State::Request*>(*context), how);
    *context = nullptr;
}

void onLibraryMessage(void* cls, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    constexpr char kRefusal[] = "HTTP response code is ";
    if (const char* refusal = std::strstr(text, kRefusal)) {
        t_refusedWith =
            static_cast<unsigned>(std::strtoul(refusal + sizeof kRefusal - 1, nullptr, 10));
        return;
    }
    auto* state = static_cast<PhoneServer::State*>(cls);
    std::lock_guard lock(state->libraryMutex);
    state->libraryMessage = text;
    std::string& message = state->libraryMessage;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
}

support::Result<std::string> readPem(const std::filesystem::path& path, const char* what) {
    auto input = support::InputFile::open(path.string());
    if (!input) return input.error();
    std::string text(64 * 1024, '\0');
    auto got = input->readFully(text.data(), text.size());
    if (!got) return got.error();
    if (*got == text.size()) {
        return makeError(ErrorCode::TooLarge,
                         std::string("the TLS ") + what + " " + path.string() + " is too large");
    }
    text.resize(*got);
    return text;
}

unsigned connectionLimit(std::uint64_t descriptors) {
    // Each answer may hold a connection and a file; some descriptors stay for everything else.
    const std::uint64_t usable = descriptors > 256 ? (descriptors - 128) / 2 : 64;
    return static_cast<unsigned>(std::min<std::uint64_t>(usable, 30000));
}

// The library's own cap, well above the guard's: connections the guard shut to make room stay
// the library's until it has seen them go, and each serving thread holds its own share of the
// cap, which the connections need not fill evenly.
// The library's idle time-out: never shorter than the deadline of a whole request, which the
// guard keeps (a longer deadline, as tests set, would otherwise be cut at the idle time-out).
intptr_t idleSeconds(std::chrono::milliseconds requestDeadline) {
    const auto deadline = std::chrono::ceil<std::chrono::seconds>(requestDeadline).count();
    return std::max<intptr_t>(kIdleSeconds, static_cast<intptr_t>(deadline));
}

unsigned libraryConnectionLimit(unsigned maxConnections, unsigned threads) {
    return 2 * maxConnections + 16 * threads;
}

// The address to serve on: every address of both families when none is given, else the first
// the host stands for (a name such as localhost resolved, an IPv6 address bare or in [ ]).
support::Result<sockaddr_storage> listenAddress(const std::string& address, std::uint16_t port,
                                                bool& ipv6) {
    sockaddr_storage storage{};
    if (address.empty() || address == "::") {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(port);
        ipv6 = true;
        return storage;
    }
    auto host = net::parseHostAddress(address);
    if (!host) return makeError(ErrorCode::Usage, "--address " + host.error().message);
    auto found = net::socketAddresses(*host, port);
    if (!found) return found.error();
    storage = found->front().storage;
    ipv6 = storage.ss_family == AF_INET6;
    return storage;
}

// Whether the server answers this machine only: a loopback address (127.0.0.0/8, ::1, an IPv4
// one mapped into IPv6).
bool isLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& four = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(four.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family != AF_INET6) return false;
    const in6_addr& six = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&six)) return true;
    return IN6_IS_ADDR_V4MAPPED(&six) && six.s6_addr[12] == 127;
}

Audience audienceOf(const ServeOptions& options, const sockaddr_storage& address) {
    return {options.address, isLoopback(address),
            !options.phoneCas.empty() || !options.authFile.empty() || options.sheetPasswords,
            options.noAuth};
}

// The digest credentials of the auth file and the sheet's passwords; with any, every request
// must prove its user.
support::Status loadDigestCredentials(PhoneServer::State& state, const ServeOptions& options) {
    if (options.sheetPasswords && options.sheetFile.empty())
        return makeError(ErrorCode::Usage, "the sheet's passwords need the sheet");
    auto credentials = loadCredentials(
        options.authFile, options.sheetPasswords ? options.sheetFile.string() : std::string());
    if (!credentials) return credentials.error();
    state.credentials = std::move(*credentials);
    if (!state.credentials.empty()) state.digest = std::make_unique<DigestAuth>(state.credentials);
    return {};
}

// TFTP beside HTTP when asked for: the same folder, peer ranges and guessing guard, each
// request's record finished as HTTP's are, and the same cap per address.
support::Status startTftp(PhoneServer::State& state, const sockaddr_storage& address) {
    if (!state.options.tftp) return {};
    tftp::TftpOptions options = *state.options.tftp;
    options.perAddress = kConnectionsPerAddress;
    PhoneServer::State* raw = &state;
    auto started = tftp::TftpServer::start(
        address, options,
        tftp::TftpServices{state.folder, state.options.allowed, state.guessing,
                           [raw](const FetchRecord& record) { raw->finish(record); }});
    if (!started) return started.error();
    state.tftp = std::move(*started);
    return {};
}

}  // namespace

const PhoneCertificate& PhoneServer::State::peerCertificate(MHD_Connection* connection) {
    OpenConnection* open = openConnectionOf(connection);
    if (open == nullptr) {
        static const PhoneCertificate kUnknown;  // no connection known: no certificate either
        return kUnknown;
    }
    if (!open->certificate) {
        const MHD_ConnectionInfo* tls =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        open->certificate = checkPhoneCertificate(tls != nullptr ? tls->tls_session : nullptr);
    }
    return *open->certificate;
}

PhoneServer::PhoneServer(std::unique_ptr<State> state) : m_state(std::move(state)) {}

PhoneServer::~PhoneServer() {
    stop();
}

support::Result<std::unique_ptr<PhoneServer>> PhoneServer::start(ServeOptions options,
                                                                 RecordSink onRecord) {
    auto state = std::make_unique<State>();
    state->status = SiteStatus(options.site);
    const bool tls = !options.tlsCertificate.empty() || !options.tlsKey.empty();
    if (tls && (options.tlsCertificate.empty() || options.tlsKey.empty()))
        return makeError(ErrorCode::Usage, "HTTPS needs both a certificate and its key");
    if (tls) {
        auto certificate = readPem(options.tlsCertificate, "certificate");
        if (!certificate) return certificate.error();
        auto key = readPem(options.tlsKey, "key");
        if (!key) return key.error();
        state->certificatePem = std::move(*certificate);
        state->keyPem = std::move(*key);
    }
    if (!options.phoneCas.empty()) {
        if (!tls)
            return makeError(ErrorCode::Usage,
                             "phones' certificates (--phone-ca) need HTTPS: give --tls-cert and "
                             "--tls-key");
        auto cas = readPhoneCas(options.phoneCas);
        if (!cas) return cas.error();
        state->phoneCasPem = std::move(*cas);
    }
    if (auto opened = state->folder.open(options.folder, options.fileName); !opened)
        return opened.error();
    if (!options.logFile.empty()) {
        auto opened = state->log.open(
            options.logFile, [&](const FetchRecord& record) { state->status.apply(record); });
        if (!opened) return opened.error();
    }
    if (auto loaded = loadDigestCredentials(*state, options); !loaded) return loaded.error();
    bool ipv6 = false;
    auto address = listenAddress(options.address, options.port, ipv6);
    if (!address) return address.error();
    const PlainFiles plainFiles = findPlainFiles(state->folder);
    if (options.tftp && audienceOf(options, *address).credentials)
        return makeError(ErrorCode::Usage,
                         "TFTP has no way for a phone to prove itself: serving it beside the "
                         "phones' credentials (--phone-ca, --auth-file, the sheet's passwords) "
                         "would hand their files to anyone; serve TFTP without them, from the "
                         "encrypted copies (en/)");
    if (!tls || options.tftp) {
        auto plain = checkPlainHttp(plainFiles, state->folder, options.plainFiles);
        if (!plain) return plain.error();
        state->warnings = std::move(*plain);
    }
    auto unproven = checkUnprovenAskers(plainFiles, state->folder, audienceOf(options, *address));
    if (!unproven) return unproven.error();
    state->warnings.insert(state->warnings.end(), unproven->begin(), unproven->end());
    if (onRecord) state->output = std::make_unique<RecordQueue>(std::move(onRecord));

    const std::uint64_t descriptors = net::raiseDescriptorLimit();
    const unsigned threads =
        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    const unsigned maxConnections =
        options.maxConnections != 0 ? options.maxConnections : connectionLimit(descriptors);
    state->guard = std::make_unique<ConnectionGuard>(
        GuardLimits{options.requestDeadline, maxConnections, kConnectionsPerAddress});
    state->guessing = GuessingGuard(options.guessing);
    // Held connections are never closed for room: they keep to a quarter of the places.
    state->held = std::make_unique<HeldConnections>(
        options.mostHeldConnections != 0
            ? options.mostHeldConnections
            : std::clamp<std::size_t>(maxConnections / 4, 1, kMostHeldConnections));
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG |
                     MHD_USE_TURBO | MHD_ALLOW_SUSPEND_RESUME;
    if (ipv6) flags |= MHD_USE_IPv6;
    if (ipv6 && options.address.empty()) flags |= MHD_USE_DUAL_STACK;
    if (tls) flags |= MHD_USE_TLS;
    state->options = std::move(options);

    std::vector<MHD_OptionItem> items{
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&onLibraryMessage), state.get()},
        {MHD_OPTION_SOCK_ADDR, 0, &*address},
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(threads), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT,
         static_cast<intptr_t>(libraryConnectionLimit(maxConnections, threads)), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds(state->options.requestDeadline), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestBytesBound, nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&onCompleted), state.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&onConnection), state.get()},
        {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&keepEscapes), nullptr},
    };
    if (tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, state->certificatePem.data()});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, state->keyPem.data()});
        items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
        // A trust list makes every handshake ask the client for its certificate; one without
        // gets its refusal as an answer (403, "no certificate"), which the log keeps.
        if (!state->phoneCasPem.empty())
            items.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, state->phoneCasPem.data()});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    State* raw = state.get();
    if (auto started = startTftp(*state, *address); !started) return started.error();
    state->daemon = MHD_start_daemon(flags, state->options.port, &onAccept, raw, &onRequest, raw,
                                     MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
    if (state->daemon == nullptr) {
        const int err = errno;
        std::string where = (state->options.address.empty() ? std::string("port ")
                                                            : state->options.address + " port ") +
                            std::to_string(state->options.port);
        std::string why =
            !state->libraryMessage.empty() ? state->libraryMessage : std::strerror(err);
        if (tls) why += " (are the certificate and key PEM files that belong together?)";
        return makeError(ErrorCode::Network, "cannot serve on " + where + ": " + why);
    }
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(state->daemon, MHD_DAEMON_INFO_BIND_PORT);
    state->port = bound != nullptr ? bound->port : state->options.port;
    state->flusher = std::thread([raw] { raw->flushLoop(); });
    return std::unique_ptr<PhoneServer>(new PhoneServer(std::move(state)));
}

void PhoneServer::stop() {
    if (!m_state || m_state->daemon == nullptr) return;
    if (m_state->tftp) m_state->tftp->stop();
    // The library must hold no connection suspended when it stops: the held ones are resumed
    // first (and closed by it as it stops, their records kept as held).
    m_state->held->stop();
    MHD_stop_daemon(m_state->daemon);
    m_state->daemon = nullptr;
    m_state->guard->stop();
    {
        std::lock_guard lock(m_state->flushMutex);
        m_state->stopping = true;
    }
    m_state->flushWake.notify_all();
    m_state->flusher.join();
    m_state->publishSummaries(true);
    (void)m_state->log.flush();
}

std::uint16_t PhoneServer::port() const {
    return m_state->port;
}
std::uint16_t PhoneServer::tftpPort() const {
    return m_state->tftp ? m_state->tftp->port() : 0;
}
bool PhoneServer::usesTls() const {
    return !m_state->certificatePem.empty();
}
const std::vector<support::Phrase>& PhoneServer::warnings() const {
    return m_state->warnings;
}
std::uint64_t PhoneServer::requestCount() const {
    return m_state->requests.load();
}
std::string PhoneServer::logError() const {
    return m_state->log.error();
}
std::uint64_t PhoneServer::logDropped() const {
    return m_state->log.dropped();
}
std::uint64_t PhoneServer::outputDropped() const {
    return m_state->output ? m_state->output->dropped() : 0;
}
FolderHealth PhoneServer::folderHealth() const {
    return m_state->folder.health();
}
ConnectionCounts PhoneServer::connections() const {
    return m_state->guard->counts();
}
HeldCounts PhoneServer::heldConnections() const {
    return m_state->held->counts();
}

ServeSnapshot PhoneServer::snapshot() const {
    std::lock_guard lock(m_state->statusMutex);
    return ServeSnapshot{m_state->status.phones(), m_state->status.counts(),
                         m_state->status.hasSite(), m_state->requests.load()};
}

std::vector<std::string> serverUrls(std::uint16_t port, bool tls, const std::string& address) {
    const std::string scheme = tls ? "https://" : "http://";
    auto url = [&](const std::string& host, int family) {
        return scheme + (family == AF_INET6 ? "[" + host + "]" : host) + ":" +
               std::to_string(port) + "/";
    };
    if (!address.empty() && address != "0.0.0.0" && address != "::")
        return {url(address, address.find(':') != std::string::npos ? AF_INET6 : AF_INET)};
    std::vector<std::string> urls;
    std::vector<std::string> loopback;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return {url("127.0.0.1", AF_INET)};
    for (const ifaddrs* at = interfaces; at != nullptr; at = at->ifa_next) {
        if (at->ifa_addr == nullptr || (at->ifa_flags & IFF_UP) == 0) continue;
        const int family = at->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        if (family == AF_INET6 &&
            IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(at->ifa_addr)->sin6_addr))
            continue;  // a link-local address needs its interface named; phones cannot use it
        if (address == "0.0.0.0" && family != AF_INET) continue;
        const std::string host = net::addressText(at->ifa_addr);
        ((at->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : urls).push_back(url(host, family));
    }
    ::freeifaddrs(interfaces);
    urls.insert(urls.end(), loopback.begin(), loopback.end());
    return urls;
}

}  // namespace velquor::serve
