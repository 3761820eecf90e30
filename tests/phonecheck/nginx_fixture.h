// NginxFixture: Debian's nginx serving a folder on loopback for a test, over HTTP or (given a
// certificate) HTTPS, as an ordinary program: its own configuration, logs and port, one
// process, stopped when the fixture ends. Names are case-sensitive, as on most servers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "child_process.h"
#include "temp_dir.h"

namespace velquor::testing {

struct NginxTls {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

class NginxFixture {
public:
    // Serves root; fails the calling test (and port() is 0) when nginx does not start.
    explicit NginxFixture(const std::filesystem::path& root,
                          std::optional<NginxTls> tls = std::nullopt);
    ~NginxFixture();
    NginxFixture(const NginxFixture&) = delete;
    NginxFixture& operator=(const NginxFixture&) = delete;

    std::uint16_t port() const { return m_port; }
    // "http://127.0.0.1:PORT/" or "https://127.0.0.1:PORT/".
    std::string url() const;
    // One line per request: the connection's serial number, the method, the URI and status.
    std::string accessLog() const;

private:
    bool start(const std::filesystem::path& root, const std::optional<NginxTls>& tls);

    TempDir m_dir;
    std::uint16_t m_port = 0;
    bool m_tls = false;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace velquor::testing
