// The result-swallowing PostgreSQL proxy of the server tests; see pg_result_dropper.h.
#include "pg_result_dropper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <optional>
#include <stdexcept>
#include <vector>

namespace velquor::testing {

namespace {

constexpr const char* kSocketName = ".s.PGSQL.5432";

sockaddr_un unixAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

// The value of one query parameter of a URL.
std::string parameter(const std::string& url, const std::string& name) {
    const auto at = url.find(name + "=");
    if (at == std::string::npos) throw std::runtime_error("no " + name + " in " + url);
    const auto start = at + name.size() + 1;
    return url.substr(start, url.find('&', start) - start);
}

// Message boundaries of the server's side of the protocol: a type byte, a length that counts
// itself, then the body.
struct ServerStream {
    std::string header;
    std::size_t bodyLeft = 0;

    // True if a ReadyForQuery saying "idle" (no transaction open) completes in these bytes.
    bool endsTransaction(const char* data, std::size_t size) {
        bool ends = false;
        for (std::size_t i = 0; i < size; ++i) {
            if (bodyLeft == 0) {
                header += data[i];
                if (header.size() < 5) continue;
                const auto byte = [&](int k) { return static_cast<unsigned char>(header[k]); };
                const std::size_t length =
                    (std::size_t{byte(1)} << 24) | (byte(2) << 16) | (byte(3) << 8) | byte(4);
                bodyLeft = length >= 4 ? length - 4 : 0;
                if (bodyLeft == 0) header.clear();
                continue;
            }
            if (header[0] == 'Z' && data[i] == 'I') ends = true;
            if (--bodyLeft == 0) header.clear();
        }
        return ends;
    }
};

struct Pair {
    int client = -1;
    int server = -1;
    bool armed = false;
    ServerStream stream;

    void close() {
        if (client >= 0) ::close(client);
        if (server >= 0) ::close(server);
        client = server = -1;
    }
};

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PgResultDropper::PgResultDropper(const std::string& databaseUrl) {
    const std::string host = parameter(databaseUrl, "host");
    m_target = std::filesystem::path(host) / kSocketName;
    m_url = databaseUrl;
    m_url.replace(m_url.find("host=" + host), 5 + host.size(), "host=" + m_folder.path().string());
    m_url += "&sslmode=disable&gssencmode=disable";

    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(m_folder / kSocketName);
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot set up the proxy's socket");
    }
    m_thread = std::thread([this] { serve(); });
}

PgResultDropper::~PgResultDropper() {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(m_wake[1], &byte, 1);
    m_thread.join();
    ::close(m_listener);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void PgResultDropper::arm(const std::string& marker) {
    std::lock_guard lock(m_mutex);
    m_marker = marker;
}

void PgResultDropper::serve() {
    std::list<Pair> pairs;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
        for (const auto& pair : pairs) {
            fds.push_back({pair.client, POLLIN, 0});
            fds.push_back({pair.server, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
        if (fds[0].revents != 0) break;
        // A pair accepted now joins the others after them: this round's fds do not cover it.
        std::optional<Pair> accepted;
        if ((fds[1].revents & POLLIN) != 0) {
            Pair pair;
            pair.client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            pair.server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_un target = unixAddress(m_target);
            if (::connect(pair.server, reinterpret_cast<const sockaddr*>(&target), sizeof target) ==
                0) {
                accepted = pair;
            } else {
                pair.close();
            }
        }
        std::size_t index = 2;
        for (auto it = pairs.begin(); it != pairs.end(); index += 2) {
            Pair& pair = *it;
            bool open = true;
            if (fds[index].revents != 0) {
                const ssize_t n = ::recv(pair.client, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    open = false;
                } else {
                    std::lock_guard lock(m_mutex);
                    if (!m_marker.empty() &&
                        std::string_view(buffer.data(), static_cast<std::size_t>(n))
                                .find(m_marker) != std::string_view::npos) {
                        pair.armed = true;
                        m_marker.clear();
                    }
                    open = sendAll(pair.server, buffer.data(), static_cast<std::size_t>(n));
                }
            }
            if (open && fds[index + 1].revents != 0) {
                const ssize_t n = ::recv(pair.server, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    open = false;
                } else if (pair.stream.endsTransaction(buffer.data(),
                                                       static_cast<std::size_t>(n)) &&
                           pair.armed) {
                    ++m_dropped;
                    open = false;
                } else {
                    open = sendAll(pair.client, buffer.data(), static_cast<std::size_t>(n));
                }
            }
            if (open) {
                ++it;
            } else {
                it->close();
                it = pairs.erase(it);
            }
        }
        if (accepted) pairs.push_back(*accepted);
    }
    for (auto& pair : pairs) pair.close();
}

}  // namespace velquor::testing
