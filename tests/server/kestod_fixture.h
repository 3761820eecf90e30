// KestodFixture: a real kestod process for tests and benchmarks. It initialises a server
// folder in a temporary directory (known administrator password, a low PBKDF2 iteration
// count so logins are quick), serves on free loopback ports, and stops the process when it
// goes out of scope. stop()/kill()/restart() let a test check what survives a restart.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "provisioning/provisioning_channel.h"
#include "temp_dir.h"

namespace velquor::testing {

struct KestodOptions {
    std::string chiefPassword = "chief-pass-1";
    std::uint32_t pbkdf2Iterations = 1000;
    std::string address = "127.0.0.1";
    // Added to 'kestod serve', e.g. {"--deadline-ms", "500", "--grant-ms", "300"}.
    std::vector<std::string> serveArguments;
};

class KestodFixture {
public:
    // Initialises and starts the server; throws std::runtime_error (with kestod's own
    // output) if either step fails.
    explicit KestodFixture(KestodOptions options = {});
    ~KestodFixture();
    KestodFixture(const KestodFixture&) = delete;
    KestodFixture& operator=(const KestodFixture&) = delete;

    const std::string& address() const { return m_options.address; }
    std::uint16_t loginPort() const { return m_ports[0]; }
    std::uint16_t accountPort() const { return m_ports[1]; }
    std::uint16_t devicePort() const { return m_ports[2]; }
    const std::array<std::uint16_t, 3>& ports() const { return m_ports; }
    // The CA certificate clients must trust (an absolute path).
    std::filesystem::path caCertPath() const;
    // The server's folder (database, keys, certificates).
    const std::filesystem::path& directory() const { return m_directory; }
    const std::string& chiefPassword() const { return m_options.chiefPassword; }
    // An endpoint for ProvisioningChannel pointing at this server.
    provisioning::KestoEndpoint endpoint() const;

    pid_t pid() const { return m_pid; }
    bool running() const { return m_pid > 0; }
    // SIGTERM and wait for a clean exit (SIGKILL after 15 s); true if it exited with 0.
    bool stop();
    // SIGKILL and wait: a crash in the middle of whatever it was doing.
    void kill();
    // Starts the server again on the same folder and ports (stopping it first if running).
    void restart();

    // Everything kestod wrote on stderr so far (one line per request).
    std::string log() const;
    // Runs "kestod <arguments...> --dir <directory>" and returns its standard output.
    std::string runTool(const std::vector<std::string>& arguments, int* status = nullptr) const;

    static std::filesystem::path binary();

private:
    void start(const std::string& portsArgument);

    KestodOptions m_options;
    TempDir m_temp;
    std::filesystem::path m_directory;
    std::filesystem::path m_logFile;
    std::array<std::uint16_t, 3> m_ports{};
    pid_t m_pid = -1;
};

}  // namespace velquor::testing
