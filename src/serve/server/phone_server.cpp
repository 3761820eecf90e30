// The phone server on libmicrohttpd; see phone_server.h.
#include "serve/server/phone_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "crypto/plaintext_check.h"
#include "serve/folder/phone_folder.h"
#include "support/input_file.h"

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;
using Steady = std::chrono::steady_clock;

namespace {

constexpr std::size_t kUserAgentBytes = 256;
constexpr auto kFlushInterval = std::chrono::milliseconds(250);
// How many phone files are looked at for the plain-over-HTTP warning.
constexpr std::size_t kFilesSampled = 8;
// Files up to this size are sent from memory together with their header. It is small enough
// for the socket's send buffer to take the whole answer at once, so a client that stops
// reading holds no copy of its file in this process; a larger file is sent from the file.
constexpr std::uint64_t kSentWithHeaderBytes = 16 * 1024;

constexpr char kNotFound[] = "Not found\n";
constexpr char kForbidden[] = "Forbidden\n";
constexpr char kNotAllowed[] = "Method not allowed\n";

// The path's %XX escapes decoded; a NUL among them makes it no path at all.
std::optional<std::string> decodedPath(std::string_view raw) {
    std::string path = unescapeLogText(raw);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

const char* contentType(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    std::string extension(dot == std::string_view::npos ? "" : name.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "xml") return "application/xml";
    if (extension == "cfg" || extension == "txt" || extension == "conf" || extension == "ini")
        return "text/plain";
    return "application/octet-stream";
}

// libmicrohttpd decodes the path by itself unless told otherwise: the raw path is kept, so the
// log has it as asked and a %00 or %2e%2e is seen by the rules below rather than lost.
size_t keepEscapes(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

}  // namespace

struct PhoneServer::State {
    ServeOptions options;
    RecordSink onRecord;
    PhoneFolder folder;
    FetchLogWriter log;
    std::string certificatePem;
    std::string keyPem;
    std::vector<support::Phrase> warnings;
    MHD_Daemon* daemon = nullptr;
    std::uint16_t port = 0;
    // The library's last message: why it could not start. Its serving threads may speak too.
    std::mutex libraryMutex;
    std::string libraryMessage;

    mutable std::mutex statusMutex;
    SiteStatus status;
    std::atomic<std::uint64_t> requests{0};

    std::mutex flushMutex;
    std::condition_variable flushWake;
    bool stopping = false;
    std::thread flusher;

    struct Request {
        Steady::time_point started;
        FetchRecord record;
        std::uint64_t bodyBytes = 0;
    };

    MHD_Result answer(MHD_Connection* connection, const char* url, const char* method,
                      void** context);
    void completed(Request* request, MHD_RequestTerminationCode how);
    void flushLoop();
};

namespace {

MHD_Result queueText(MHD_Connection* connection, unsigned status, const char* text,
                     std::uint64_t& bodyBytes) {
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    bodyBytes = std::strlen(text);
    return queued;
}

void freeBody(void* body) {
    std::free(body);
}

// A phone's file, which the response then owns. One the size of a configuration is read
// whole and sent with its header in one write, as one segment; a larger one is sent from the
// file. Nothing when the file could not be read (it is closed then).
MHD_Response* fileResponse(const OpenedFile& file) {
    if (file.size <= kSentWithHeaderBytes) {
        char* body = static_cast<char*>(std::malloc(std::max<std::size_t>(file.size, 1)));
        std::size_t got = 0;
        while (body != nullptr && got < file.size) {
            const ssize_t n =
                ::pread(file.fd, body + got, file.size - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        ::close(file.fd);
        if (body == nullptr || got != file.size) {
            std::free(body);
            return nullptr;
        }
        MHD_Response* response =
            MHD_create_response_from_buffer_with_free_callback(got, body, &freeBody);
        if (response == nullptr) std::free(body);
        return response;
    }
    MHD_Response* response = MHD_create_response_from_fd64(file.size, file.fd);
    if (response == nullptr) ::close(file.fd);
    return response;
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
    record.peer = peerText(peer);
    record.method = method;
    record.path = escapeLogText(url, kRequestBytesBound, Escaping::RequestPath);
    if (const char* agent =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT))
        record.userAgent = escapeLogText(agent, kUserAgentBytes);

    if (!options.allowed.allows(peer)) {
        record.status = MHD_HTTP_FORBIDDEN;
        return queueText(connection, record.status, kForbidden, request->bodyBytes);
    }
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
        record.status = MHD_HTTP_METHOD_NOT_ALLOWED;
        return queueText(connection, record.status, kNotAllowed, request->bodyBytes);
    }
    const std::optional<std::string> path = decodedPath(url);
    Lookup found = path ? folder.lookup(*path) : Lookup{};
    record.mac = found.mac;
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

void PhoneServer::State::flushLoop() {
    std::unique_lock lock(flushMutex);
    while (!stopping) {
        flushWake.wait_for(lock, kFlushInterval);
        lock.unlock();
        (void)log.flush();
        lock.lock();
    }
}

namespace {

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char*, size_t* uploadSize, void** context) {
    auto* state = static_cast<PhoneServer::State*>(cls);
    if (*context != nullptr) {
        // A body sent with a refused request: it is read and dropped, never kept.
        *uploadSize = 0;
        return MHD_YES;
    }
    return state->answer(connection, url, method, context);
}

void onCompleted(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode how) {
    if (*context == nullptr) return;
    static_cast<PhoneServer::State*>(cls)->completed(
        static_cast<PhoneServer::State::Request*>(*context), how);
    *context = nullptr;
}

void onLibraryMessage(void* cls, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
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

// Lets the server hold as many connections as the system allows this user.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

unsigned connectionLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1000;
    // Each answer may hold a connection and a file; some descriptors stay for everything else.
    const rlim_t usable = limit.rlim_cur > 256 ? (limit.rlim_cur - 128) / 2 : 64;
    return static_cast<unsigned>(std::min<rlim_t>(usable, 30000));
}

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
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        ipv6 = false;
        return storage;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        ipv6 = true;
        return storage;
    }
    return makeError(ErrorCode::Usage,
                     "--address " + address + ": not an IPv4 or IPv6 address of this machine");
}

// Plain configuration files over plain HTTP put every phone's SIP password on the network.
std::vector<support::Phrase> plainFilesWarning(PhoneFolder& folder) {
    std::vector<std::string> names = folder.phoneFiles();
    names.resize(std::min(names.size(), kFilesSampled));
    for (const std::string& name : names) {
        const Lookup found = folder.lookup(name);
        if (!found.file) continue;
        std::string start(crypto::kTextSampleBytes, '\0');
        const ssize_t got = ::pread(found.file->fd, start.data(), start.size(), 0);
        ::close(found.file->fd);
        if (got <= 0) continue;
        start.resize(static_cast<std::size_t>(got));
        if (crypto::looksLikeText(start)) {
            //: %1 is a folder
            return {support::Phrase{
                VELQUOR_TR_NOOP("core",
                                "The files of %1 are not encrypted and plain HTTP does not "
                                "encrypt them either: the phones' SIP passwords cross the "
                                "network in clear. Serve its en folder, or use HTTPS."),
                {folder.path().string()}}};
        }
    }
    return {};
}

}  // namespace

PhoneServer::PhoneServer(std::unique_ptr<State> state) : m_state(std::move(state)) {}

PhoneServer::~PhoneServer() {
    stop();
}

support::Result<std::unique_ptr<PhoneServer>> PhoneServer::start(ServeOptions options,
                                                                 RecordSink onRecord) {
    auto state = std::make_unique<State>();
    state->status = SiteStatus(options.site);
    state->onRecord = std::move(onRecord);
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
    if (auto opened = state->folder.open(options.folder, options.fileName); !opened)
        return opened.error();
    if (!options.logFile.empty()) {
        auto earlier = state->log.open(options.logFile);
        if (!earlier) return earlier.error();
        for (const FetchRecord& record : *earlier) state->status.apply(record);
    }
    if (!tls) state->warnings = plainFilesWarning(state->folder);

    bool ipv6 = false;
    auto address = listenAddress(options.address, options.port, ipv6);
    if (!address) return address.error();
    raiseDescriptorLimit();
    const unsigned threads =
        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG | MHD_USE_TURBO;
    if (ipv6) flags |= MHD_USE_IPv6;
    if (ipv6 && options.address.empty()) flags |= MHD_USE_DUAL_STACK;
    if (tls) flags |= MHD_USE_TLS;
    state->options = std::move(options);

    std::vector<MHD_OptionItem> items{
        {MHD_OPTION_SOCK_ADDR, 0, &*address},
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(threads), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(connectionLimit()), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestBytesBound, nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&onCompleted), state.get()},
        {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&keepEscapes), nullptr},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&onLibraryMessage), state.get()},
    };
    if (tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, state->certificatePem.data()});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, state->keyPem.data()});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    State* raw = state.get();
    state->daemon = MHD_start_daemon(flags, state->options.port, nullptr, nullptr, &onRequest, raw,
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
    MHD_stop_daemon(m_state->daemon);
    m_state->daemon = nullptr;
    {
        std::lock_guard lock(m_state->flushMutex);
        m_state->stopping = true;
    }
    m_state->flushWake.notify_all();
    m_state->flusher.join();
    (void)m_state->log.flush();
}

std::uint16_t PhoneServer::port() const {
    return m_state->port;
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
        const std::string host = peerText(at->ifa_addr);
        ((at->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : urls).push_back(url(host, family));
    }
    ::freeifaddrs(interfaces);
    urls.insert(urls.end(), loopback.begin(), loopback.end());
    return urls;
}

}  // namespace velquor::serve
