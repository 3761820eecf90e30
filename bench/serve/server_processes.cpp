#include "server_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace velquor::bench {
namespace fs = std::filesystem;
namespace {

rlimit g_childLimit{};
bool g_childLimitKept = false;

std::string nginxConfig(const NginxRun& run) {
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    const std::string prefix = run.prefix.string();
    // Its workers may hold as many descriptors as this user may (the attacks need thousands).
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t descriptors = std::min<rlim_t>(limit.rlim_max, 65536);
    std::string config = "worker_processes " + std::to_string(workers) +
                         ";\nworker_rlimit_nofile " + std::to_string(descriptors) +
                         ";\ndaemon off;\npid " + prefix + "/nginx.pid;\nerror_log " + prefix +
                         "/error.log;\nevents { worker_connections 32768; }\nhttp {\n";
    config += "  access_log " + prefix + "/access.log;\n";
    for (const char* temporary : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += std::string("  ") + temporary + "_temp_path " + prefix + "/" + temporary + ";\n";
    config += "  sendfile on;\n  default_type application/octet-stream;\n";
    const std::string location = "    location /prov/ { alias " + run.folder.string() + "/; }\n";
    config += "  server {\n    listen 127.0.0.1:" + std::to_string(run.port) + " backlog=1024;\n" +
              location + "  }\n";
    if (run.tls != nullptr) {
        config += "  server {\n    listen 127.0.0.1:" + std::to_string(run.tlsPort) +
                  " ssl backlog=1024;\n    ssl_certificate " + run.tls->certificate.string() +
                  ";\n    ssl_certificate_key " + run.tls->key.string() + ";\n" + location +
                  "  }\n";
    }
    return config + "}\n";
}

}  // namespace

void raiseDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (!g_childLimitKept) g_childLimit = limit;
    g_childLimitKept = true;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

ServerProcess::ServerProcess(const std::vector<std::string>& arguments, const fs::path& output,
                             const fs::path& errors) {
    m_pid = ::fork();
    if (m_pid != 0) return;
    if (g_childLimitKept) ::setrlimit(RLIMIT_NOFILE, &g_childLimit);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    _exit(127);
}

ServerProcess::ServerProcess(ServerProcess&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1)) {}

ServerProcess& ServerProcess::operator=(ServerProcess&& other) noexcept {
    if (this != &other) {
        stop();
        m_pid = std::exchange(other.m_pid, -1);
    }
    return *this;
}

ServerProcess::~ServerProcess() {
    stop();
}

void ServerProcess::stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

std::uint64_t ServerProcess::peakMemoryBytes() const {
    if (m_pid <= 0) return 0;
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
    return 0;
}

double ServerProcess::cpuSeconds() const {
    if (m_pid <= 0) return 0;
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t afterName = text.rfind(')');
    if (afterName == std::string::npos) return 0;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) ticks += std::strtod(field.c_str(), nullptr);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TlsFiles makeCertificate(const fs::path& dir) {
    TlsFiles files{dir / "cert.pem", dir / "key.pem"};
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        files.key.string() + "' -out '" + files.certificate.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
    return files;
}

ServerProcess startServe(const ServeRun& run) {
    std::vector<std::string> arguments{
        VELQUOR_CLI_BINARY,       "serve", run.folder.string(), "--address", "127.0.0.1", "--port",
        std::to_string(run.port), "--log", run.log.string()};
    if (run.tls != nullptr) {
        arguments.insert(arguments.end(), {"--tls-cert", run.tls->certificate.string(), "--tls-key",
                                           run.tls->key.string()});
    }
    for (const std::string& range : run.allow)
        arguments.insert(arguments.end(), {"--allow", range});
    arguments.insert(arguments.end(), run.more.begin(), run.more.end());
    return ServerProcess(arguments, run.output, run.errors);
}

ServerProcess startNginx(const NginxRun& run) {
    fs::create_directories(run.prefix);
    std::ofstream(run.prefix / "nginx.conf") << nginxConfig(run);
    return ServerProcess(
        {"nginx", "-p", run.prefix.string() + "/", "-e", (run.prefix / "error.log").string(), "-c",
         (run.prefix / "nginx.conf").string()},
        run.prefix / "nginx.out", run.prefix / "nginx.err");
}

void openToWorkers(const fs::path& dir) {
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

}  // namespace velquor::bench
