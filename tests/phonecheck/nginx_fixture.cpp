// NginxFixture; see nginx_fixture.h.
#include "nginx_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "wait_until.h"

namespace velquor::testing {
namespace {

// A port the system had free a moment ago.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

std::string readIfThere(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) ? readFile(path) : std::string();
}

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string configuration(const std::filesystem::path& dir, const std::filesystem::path& root,
                          std::uint16_t port, const std::optional<NginxTls>& tls) {
    const std::string d = dir.string();
    std::string listen = "listen 127.0.0.1:" + std::to_string(port);
    std::string certificates;
    if (tls) {
        listen += " ssl";
        certificates = "ssl_certificate " + tls->certificate.string() + ";\n" +
                       "ssl_certificate_key " + tls->key.string() + ";\n";
    }
    return "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d +
           "/nginx.pid;\nerror_log " + d + "/error.log;\n" +
           "events { worker_connections 1024; }\n"
           "http {\n"
           "log_format requests '$connection $request_method $uri $status';\n"
           "access_log " +
           d + "/access.log requests;\n" + "client_body_temp_path " + d + "/body;\n" +
           "proxy_temp_path " + d + "/proxy;\nfastcgi_temp_path " + d + "/fastcgi;\n" +
           "uwsgi_temp_path " + d + "/uwsgi;\nscgi_temp_path " + d + "/scgi;\n" +
           "default_type application/octet-stream;\nkeepalive_requests 1000000;\n"
           "server {\n" +
           listen + ";\n" + certificates + "root " + root.string() + ";\nlocation / { }\n}\n}\n";
}

}  // namespace

NginxFixture::NginxFixture(const std::filesystem::path& root, std::optional<NginxTls> tls)
    : m_tls(tls.has_value()) {
    // Another program may take the port between the look and nginx's bind: try again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start(root, tls)) return;
    }
    m_port = 0;
    ADD_FAILURE() << "nginx did not start: " << readIfThere(m_dir / "error.log")
                  << readIfThere(m_dir / "output.txt");
}

bool NginxFixture::start(const std::filesystem::path& root, const std::optional<NginxTls>& tls) {
    m_process.reset();
    m_port = freePort();
    writeFile(m_dir / "nginx.conf", configuration(m_dir.path(), root, m_port, tls));
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", m_dir.path().string(), "-c",
                                 (m_dir / "nginx.conf").string(), "-e",
                                 (m_dir / "error.log").string()},
        m_dir / "output.txt");
    bool accepting = false;
    waitUntil(
        [&] {
            accepting = accepts(m_port);
            return accepting ||
                   readIfThere(m_dir / "error.log").find("[emerg]") != std::string::npos;
        },
        std::chrono::seconds(10));
    return accepting;
}

NginxFixture::~NginxFixture() = default;

std::string NginxFixture::url() const {
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + "/";
}

std::string NginxFixture::accessLog() const {
    return readIfThere(m_dir / "access.log");
}

}  // namespace velquor::testing
