// Setting up kestod's serving (database, TLS, listeners) and its event loop; see kesto_server.h.
// Accepting and reading connections is in server_connections.cpp, the workers' exchange in
// server_exchange.cpp.
#include "server/serving/kesto_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "net/host_address.h"
#include "net/ip_address.h"
#include "net/socket_address.h"
#include "server/requests/request_log.h"
#include "server/serving/connection.h"
#include "server/tls/certificates.h"
#include "server/tls/phone_cas.h"
#include "server/tls/serving_checks.h"

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

void setPort(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    }
}

std::uint16_t portOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// Every address the listen addresses stand for, each once: an IP address itself, a name what
// it resolves to.
support::Result<std::vector<net::SocketAddress>> resolveListenAddresses(
    const std::vector<std::string>& addresses) {
    std::vector<net::SocketAddress> resolved;
    std::set<std::string> seen;
    for (const auto& text : addresses) {
        auto host = net::parseHostAddress(text);
        if (!host) return host.error();
        auto found = net::socketAddresses(*host, 0);
        if (!found) return found.error();
        for (const auto& listen : *found) {
            if (seen.insert(net::addressText(listen.get())).second) resolved.push_back(listen);
        }
    }
    if (resolved.empty()) return makeError(ErrorCode::Network, "no address to listen on");
    return resolved;
}

}  // namespace

KestoServer::KestoServer(ServeSettings settings)
    : m_settings(std::move(settings)),
      m_files(serverFilesIn(m_settings.folder)),
      m_logBound([](const std::string& group, std::uint16_t port, const std::string& text) {
          writeLogLine(formatLogLine(std::chrono::system_clock::now(),
                                     LogEntry{group, port, {}, {}, {}, {}, text}));
      }),
      m_loginRate(m_settings.maxLoginsPerAddress) {}

std::string KestoServer::address() const {
    std::string joined;
    for (const auto& address : m_settings.addresses) {
        if (!joined.empty()) joined += ", ";
        joined += address;
    }
    return joined;
}

KestoServer::~KestoServer() {
    stopHandshakers();
    {
        std::lock_guard lock(m_queueMutex);
        m_workersStopping = true;
    }
    m_queueReady.notify_all();
    for (auto& worker : m_workers) {
        if (worker.joinable()) worker.join();
    }
    for (auto& listener : m_listeners) closeQuietly(listener.fd);
    closeQuietly(m_wakeRead);
    closeQuietly(m_wakeWrite);
}

support::Result<std::unique_ptr<KestoServer>> KestoServer::create(ServeSettings settings) {
    if (settings.workers == 0 || settings.maxConnections == 0 ||
        settings.maxConnectionsPerPeer == 0 || settings.maxLoginsPerAddress == 0) {
        return makeError(ErrorCode::InvalidInput,
                         "workers and connection limits must be at least 1");
    }
    std::unique_ptr<KestoServer> server(new KestoServer(std::move(settings)));
    auto& files = server->m_files;

    const StoreLocation location{server->m_settings.folder, server->m_settings.databaseUrl};
    auto store = openAccountStore(location, AccountStore::OpenMode::MustExist);
    if (!store) return store.error();
    auto iterations = (*store)->setting("pbkdf2_iterations");
    if (!iterations) return iterations.error();
    server->m_hashIterations = kDefaultPbkdf2Iterations;
    if (iterations->has_value()) {
        const std::string& text = **iterations;
        std::uint32_t parsed = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (ec != std::errc() || end != text.data() + text.size() || parsed == 0) {
            return makeError(ErrorCode::InvalidInput,
                             "the database holds an unusable iteration count '" + text + "'");
        }
        server->m_hashIterations = parsed;
    }
    if (server->m_settings.addresses.empty()) {
        auto address = (*store)->setting("address");
        if (!address) return address.error();
        server->m_settings.addresses =
            splitAddressList(address->value_or(std::string(wire::kDefaultServerAddress)));
    }
    AccountStore& first = **store;
    server->m_workerStores.push_back(std::move(*store));
    while (server->m_workerStores.size() < server->m_settings.workers) {
        auto more = openAccountStore(location, AccountStore::OpenMode::MustExist);
        if (!more) return more.error();
        server->m_workerStores.push_back(std::move(*more));
    }

    if (auto safe = checkFolderModes(files, server->m_settings.databaseUrl.empty()); !safe) {
        return safe.error();
    }
    std::vector<std::string> warnings;
    if (auto current = checkServerCertificate(files, server->m_settings.addresses, &warnings);
        !current) {
        return current.error();
    }
    for (const auto& warning : warnings) writeLogLine(warning);
    if (auto made = server->makeTlsContexts(); !made) return made.error();
    if (server->m_phoneTls) {
        auto asks = openAccountStore(location, AccountStore::OpenMode::MustExist);
        if (!asks) return asks.error();
        server->m_asks = std::make_unique<AskRecorder>(
            std::move(*asks), [](const std::string& line) { writeLogLine(line); });
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return makeError(ErrorCode::Io,
                         std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    server->m_wakeRead = pipeFds[0];
    server->m_wakeWrite = pipeFds[1];
    if (auto status = server->bindListeners(); !status) return status.error();
    // Only an instance that serves may end the logins of the one before it: a second one
    // started by mistake on the same folder fails above and leaves everyone logged in.
    if (auto status = first.beginServing(); !status) return status.error();
    if (auto status = first.setSetting(kGuessingSettingsKey,
                                       guessingSettingsText(server->m_settings.loginLimits));
        !status) {
        return status.error();
    }
    return server;
}

// The server's context, and the phones' port's when the folder keeps phones' CAs: the same
// certificate, every client asked for its own.
support::Status KestoServer::makeTlsContexts() {
    auto tls = makeServerTlsContext(m_files);
    if (!tls) return tls.error();
    SslContextPtr phoneTls;
    if (std::filesystem::exists(m_files.phoneCas)) {
        auto phones = makeServerTlsContext(m_files);
        if (!phones) return phones.error();
        if (auto asked = askForPhoneCertificates(phones->get(), m_files); !asked) {
            return asked.error();
        }
        phoneTls = std::move(*phones);
    }
    m_tls = std::move(*tls);
    // A reload keeps serving the phones' port it has, and opens none it had not.
    if (phoneTls || m_boundPhonePort == 0) m_phoneTls = std::move(phoneTls);
    return {};
}

support::Status KestoServer::bindListeners() {
    auto addresses = resolveListenAddresses(m_settings.addresses);
    if (!addresses) return addresses.error();
    static constexpr RequestKind kKinds[] = {RequestKind::Login, RequestKind::Account,
                                             RequestKind::Device};
    for (std::size_t kind = 0; kind < m_settings.ports.size(); ++kind) {
        m_boundPorts[kind] = m_settings.ports[kind];
        if (auto status = bindPort(*addresses, kKinds[kind], m_boundPorts[kind]); !status) {
            return status;
        }
    }
    if (!m_phoneTls) return {};
    m_boundPhonePort = m_settings.phonePort;
    return bindPort(*addresses, RequestKind::Phone, m_boundPhonePort);
}

// Port 0 takes a free port on the first address, and the same one on the others.
support::Status KestoServer::bindPort(const std::vector<net::SocketAddress>& addresses,
                                      RequestKind kind, std::uint16_t& port) {
    for (auto listen : addresses) {
        setPort(listen.storage, port);
        const std::string where = net::addressText(listen.get()) + " port " + std::to_string(port);
        if (auto status = bindListener(where, listen.storage, listen.length, kind); !status) {
            return status;
        }
        port = m_listeners.back().port;
    }
    return {};
}

support::Status KestoServer::bindListener(const std::string& where, const sockaddr_storage& address,
                                          socklen_t length, RequestKind kind) {
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return makeError(ErrorCode::Network,
                         std::string("cannot create a socket: ") + std::strerror(errno));
    }
    m_listeners.push_back(Listener{fd, kind, 0});
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.ss_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        return makeError(ErrorCode::Network,
                         "cannot listen on " + where + ": " + std::strerror(errno));
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    m_listeners.back().port = portOf(bound);
    return {};
}

void KestoServer::wakeLoop() noexcept {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(m_wakeWrite, &byte, 1);
}

void KestoServer::requestStop() noexcept {
    m_stopRequested.store(true);
    wakeLoop();
}

void KestoServer::requestReload() noexcept {
    m_reloadRequested.store(true);
    wakeLoop();
}

// Connections already open keep the context they were accepted with (each holds a reference).
void KestoServer::reloadTls() {
    std::vector<std::string> warnings;
    auto current = checkFolderModes(m_files, m_settings.databaseUrl.empty());
    if (current) current = checkServerCertificate(m_files, m_settings.addresses, &warnings);
    if (current) current = makeTlsContexts();
    if (!current) {
        writeLogLine("kestod: reload failed, still serving with the certificate and key in use: " +
                     current.error().message);
        return;
    }
    writeLogLine(m_phoneTls ? "kestod: reloaded the server certificate and key and the phones' CAs"
                            : "kestod: reloaded the server certificate and key");
    for (const auto& warning : warnings) writeLogLine(warning);
}

support::Status KestoServer::run() {
    startHandshakers();
    for (auto& store : m_workerStores) {
        m_workers.emplace_back([this, &store] { workerMain(*store); });
    }
    std::vector<pollfd> fds;
    while (!m_stopRequested.load()) {
        fds.clear();
        fds.push_back(pollfd{m_wakeRead, POLLIN, 0});
        const bool accepting = Clock::now() >= m_acceptPausedUntil;
        for (const auto& listener : m_listeners) {
            // A negative descriptor is skipped by poll but keeps the positions fixed.
            fds.push_back(pollfd{accepting ? listener.fd : -1, POLLIN, 0});
        }
        Clock::time_point nearest = Clock::now() + std::chrono::seconds(60);
        if (!accepting) nearest = std::min(nearest, m_acceptPausedUntil);
        nearest = std::min(nearest, m_logBound.flush(Clock::now()));
        nearest = std::min(nearest, m_refusalTally.flush(Clock::now()));
        // Phones waiting for room get it when a stalled handshake has been silent long enough.
        if (m_phonesWaitingCount > 0) nearest = std::min(nearest, m_phoneHandshakesRipen);
        for (const auto& connection : m_open) {
            if (connection->waitingForRoom) {
                fds.push_back(pollfd{-1, 0, 0});  // started when its address has room
                nearest = std::min(nearest, connection->handshakeDeadline);
                continue;
            }
            if (connection->withHandshaker) {
                fds.push_back(pollfd{-1, 0, 0});  // a handshake thread has it
                continue;
            }
            fds.push_back(pollfd{connection->fd,
                                 static_cast<short>(connection->wantsWrite ? POLLOUT : POLLIN), 0});
            nearest = std::min(nearest, connection->deadline);
            if (connection->stage == Connection::Stage::Handshake) {
                nearest = std::min(nearest, connection->handshakeDeadline);
            }
        }
        const int ready = ::poll(fds.data(), fds.size(), pollTimeoutUntil(nearest));
        if (ready < 0 && errno != EINTR) {
            return makeError(ErrorCode::Io, std::string("poll failed: ") + std::strerror(errno));
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (m_reloadRequested.exchange(false)) reloadTls();
        takeBackHandshakes();
        // Connections first, by their position in fds, before accepting changes m_open.
        const std::size_t firstConnection = 1 + m_listeners.size();
        for (std::size_t i = 0; ready > 0 && i < m_open.size(); ++i) {
            // A connection closed to make room for another leaves its place empty.
            if (m_open[i] != nullptr && fds[firstConnection + i].revents != 0) {
                advance(*m_open[i]);
            }
        }
        if (ready > 0) {
            for (std::size_t i = 0; i < m_listeners.size(); ++i) {
                if ((fds[1 + i].revents & POLLIN) != 0) acceptFrom(m_listeners[i]);
            }
        }
        sweep(Clock::now());
    }

    stopHandshakers();
    for (auto& connection : m_open) {
        if (connection != nullptr) {
            dropConnection(std::move(connection), "closed: the server is stopping");
        }
    }
    m_open.clear();
    {
        std::lock_guard lock(m_queueMutex);
        m_workersStopping = true;
    }
    m_queueReady.notify_all();
    for (auto& worker : m_workers) worker.join();
    m_workers.clear();
    if (m_asks) m_asks->flush();  // a restart shows every phone answered before the stop
    return {};
}

}  // namespace velquor::server
