// The servers a phone-server benchmark runs: velquor-cli serve and, beside it in the same run,
// Debian's nginx from its own prefix (access log on, workers as many as the cores), each a child
// process of the benchmark; and what the benchmark reads of them (peak memory).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velquor::bench {

// Raises this process's descriptor limit to its hard limit (the attacks hold thousands of
// sockets); the children start with the limit this process had, as from a shell.
void raiseDescriptorLimit();

class ServerProcess {
public:
    ServerProcess() = default;
    // Starts ARGUMENTS with standard output to OUTPUT and standard error to ERRORS.
    ServerProcess(const std::vector<std::string>& arguments, const std::filesystem::path& output,
                  const std::filesystem::path& errors);
    ServerProcess(ServerProcess&& other) noexcept;
    ServerProcess& operator=(ServerProcess&& other) noexcept;
    ~ServerProcess();  // stops it

    pid_t pid() const { return m_pid; }
    // SIGTERM, then waits for its end.
    void stop();
    // The most memory it has held (VmHWM), in bytes; 0 once it has ended.
    std::uint64_t peakMemoryBytes() const;
    // The processor time it has used, its threads' together, in seconds; 0 once it has ended.
    double cpuSeconds() const;

private:
    pid_t m_pid = -1;
};

struct TlsFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// A self-signed P-256 certificate for 127.0.0.1 and its key, made by openssl in DIR.
TlsFiles makeCertificate(const std::filesystem::path& dir);

struct ServeRun {
    std::filesystem::path folder{};
    std::uint16_t port = 0;
    std::filesystem::path log{};     // the fetch log
    std::filesystem::path output{};  // where its standard output goes (/dev/null for floods)
    std::filesystem::path errors{};
    const TlsFiles* tls = nullptr;  // HTTPS when set
    std::vector<std::string> allow{};
    std::vector<std::string> more{};  // further options
};

ServerProcess startServe(const ServeRun& run);

struct NginxRun {
    std::filesystem::path prefix{};  // its own folder: configuration, logs, pid, temporary files
    std::filesystem::path folder{};  // served under /prov/
    std::uint16_t port = 0;
    std::uint16_t tlsPort = 0;  // with tls, an HTTPS server of the same folder
    const TlsFiles* tls = nullptr;
};

ServerProcess startNginx(const NginxRun& run);

// Makes DIR and its parents readable by nginx's unprivileged workers.
void openToWorkers(const std::filesystem::path& dir);

}  // namespace velquor::bench
