// A real kestod process for tests; see kestod_fixture.h.
#include "kestod_fixture.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#ifndef VELQUOR_KESTOD_BINARY
#error "VELQUOR_KESTOD_BINARY must name the kestod program"
#endif
#ifndef VELQUOR_TEST_PG_STATE
#error "VELQUOR_TEST_PG_STATE must name the file pg_cluster.sh writes"
#endif

namespace velquor::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Generous: under sanitizers start-up is several times slower.
constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kStopTimeout = std::chrono::seconds(15);

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const pid_t done = ::waitpid(pid, status, WNOHANG);
        if (done == pid) return true;
        if (done < 0) return true;  // not ours any more
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readyLinePrefix() {
    return "kestod: serving on ";
}

// Line `index` of the state file pg_cluster.sh wrote.
std::string clusterState(const std::string& stateFile, int index) {
    std::ifstream in(stateFile);
    std::string line;
    for (int i = 0; i <= index; ++i) {
        if (!std::getline(in, line)) {
            throw std::runtime_error("no test PostgreSQL cluster: " + stateFile +
                                     " is missing (ctest starts one; by hand: "
                                     "tests/server/pg_cluster.sh start " +
                                     stateFile + ")");
        }
    }
    return line;
}

std::string urlOf(const std::string& stateFile, const std::string& database) {
    return "postgresql:///" + database + "?host=" + clusterState(stateFile, 0) +
           "&user=" + clusterState(stateFile, 1);
}

}  // namespace

std::string TestDatabase::sharedClusterState() {
    return VELQUOR_TEST_PG_STATE;
}

void TestDatabase::administer(const std::string& sql, const std::string& stateFile) {
    const std::string state = stateFile.empty() ? sharedClusterState() : stateFile;
    PGconn* connection = PQconnectdb(urlOf(state, "postgres").c_str());
    std::string error;
    if (PQstatus(connection) != CONNECTION_OK) {
        error = PQerrorMessage(connection);
    } else {
        PGresult* result = PQexec(connection, sql.c_str());
        if (PQresultStatus(result) != PGRES_COMMAND_OK &&
            PQresultStatus(result) != PGRES_TUPLES_OK) {
            error = PQresultErrorMessage(result);
        }
        PQclear(result);
    }
    PQfinish(connection);
    if (!error.empty()) throw std::runtime_error("test cluster: " + sql + ": " + error);
}

TestDatabase::TestDatabase(const std::string& stateFile)
    : m_stateFile(stateFile.empty() ? sharedClusterState() : stateFile) {
    static std::atomic<int> counter{0};
    m_name = "kestod_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    administer("CREATE DATABASE " + m_name, m_stateFile);
    m_url = urlOf(m_stateFile, m_name);
}

TestDatabase::~TestDatabase() {
    try {
        administer("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)", m_stateFile);
    } catch (const std::exception&) {
        // The cluster is gone already; pg_cluster.sh removes it whole.
    }
}

StoreKind KestodFixture::defaultStore() {
    const char* kind = std::getenv("VELQUOR_TEST_STORE");
    return kind != nullptr && std::string_view(kind) == "postgres" ? StoreKind::Postgres
                                                                   : StoreKind::Sqlite;
}

std::vector<std::string> KestodFixture::storeArguments() const {
    if (m_databaseUrl.empty()) return {};
    return {"--database", m_databaseUrl};
}

// VELQUOR_KESTOD_BINARY in the environment runs another build instead, so that a benchmark
// can show before and after with one driver.
std::filesystem::path KestodFixture::binary() {
    const char* other = std::getenv("VELQUOR_KESTOD_BINARY");
    return other != nullptr && other[0] != '\0' ? other : VELQUOR_KESTOD_BINARY;
}

KestodFixture::KestodFixture(KestodOptions options)
    : m_options(std::move(options)),
      m_store(defaultStore()),
      m_directory(m_temp / "kestod"),
      m_logFile(m_temp / "kestod.log") {
    if (m_options.store) m_store = *m_options.store;
    if (!m_options.databaseUrl.empty()) m_store = StoreKind::Postgres;
    if (const KestodFixture* other = m_options.sameStateAs; other != nullptr) {
        m_store = other->m_store;
        m_directory = other->m_directory;
        m_databaseUrl = other->m_databaseUrl;
        if (!m_options.databaseUrl.empty()) {
            m_store = StoreKind::Postgres;
            m_databaseUrl = m_options.databaseUrl;
        }
        m_options.chiefPassword = other->m_options.chiefPassword;
        m_options.address = other->m_options.address;
        m_options.phoneCas = other->m_options.phoneCas;
        m_options.sameStateAs = nullptr;
        start("0,0,0");
        return;
    }
    if (!m_options.databaseUrl.empty()) {
        m_databaseUrl = m_options.databaseUrl;
    } else if (m_store == StoreKind::Postgres) {
        m_database = std::make_unique<TestDatabase>();
        m_databaseUrl = m_database->url();
    }
    const auto passwordFile = m_temp / "chief-password.txt";
    writeFile(passwordFile, m_options.chiefPassword + "\n");
    std::string command = shellQuote(binary().string()) + " init --dir " +
                          shellQuote(m_directory.string()) + " --address " +
                          shellQuote(m_options.address) + " --admin-password-file " +
                          shellQuote(passwordFile.string()) + " --pbkdf2-iterations " +
                          std::to_string(m_options.pbkdf2Iterations);
    for (const auto& argument : storeArguments()) command += " " + shellQuote(argument);
    for (const auto& ca : m_options.phoneCas) command += " --phone-ca " + shellQuote(ca);
    int status = 0;
    const std::string output = runCommand(command + " 2>&1", &status);
    if (status != 0) throw std::runtime_error("kestod init failed: " + output);
    start("0,0,0");
}

KestodFixture::~KestodFixture() {
    if (running()) stop();
}

std::filesystem::path KestodFixture::caCertPath() const {
    return std::filesystem::absolute(m_directory / "cacert.pem");
}

provisioning::KestoEndpoint KestodFixture::endpoint() const {
    provisioning::KestoEndpoint endpoint;
    endpoint.address = m_options.address;
    endpoint.loginPort = loginPort();
    endpoint.accountPort = accountPort();
    endpoint.devicePort = devicePort();
    endpoint.caFile = caCertPath().string();
    return endpoint;
}

void KestodFixture::start(const std::string& portsArgument) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int logFd = ::open(m_logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) throw std::runtime_error("cannot open " + m_logFile.string());

    std::vector<std::string> arguments{binary().string(),    "serve",   "--dir",
                                       m_directory.string(), "--ports", portsArgument};
    if (!m_options.phoneCas.empty()) {
        arguments.insert(arguments.end(), {"--phone-port", std::to_string(m_phonePort)});
    }
    arguments.insert(arguments.end(), m_options.serveArguments.begin(),
                     m_options.serveArguments.end());
    for (const auto& argument : storeArguments()) arguments.push_back(argument);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test that dies must not leave its server behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(logFd);
    m_pid = pid;

    std::string output;
    const auto deadline = Clock::now() + kStartTimeout;
    while (output.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd waitFor{pipeFds[0], POLLIN, 0};
        if (::poll(&waitFor, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);

    const auto prefix = readyLinePrefix() + m_options.address + " ports ";
    unsigned a = 0, b = 0, c = 0;
    if (output.rfind(prefix, 0) != 0 ||
        std::sscanf(output.c_str() + prefix.size(), "%u,%u,%u", &a, &b, &c) != 3) {
        kill();
        throw std::runtime_error("kestod serve did not start: " + output + log());
    }
    m_ports = {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b),
               static_cast<std::uint16_t>(c)};
    const auto phones = output.find("; phones on port ");
    m_phonePort = phones == std::string::npos
                      ? 0
                      : static_cast<std::uint16_t>(std::atoi(output.c_str() + phones + 17));
}

bool KestodFixture::stop() {
    if (!running()) return false;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    if (!waitForExit(m_pid, kStopTimeout, &status)) {
        ::kill(m_pid, SIGKILL);
        waitForExit(m_pid, kStopTimeout, &status);
        m_pid = -1;
        return false;
    }
    m_pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void KestodFixture::kill() {
    if (!running()) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    waitForExit(m_pid, kStopTimeout, &status);
    m_pid = -1;
}

void KestodFixture::restart() {
    if (running()) stop();
    start(std::to_string(m_ports[0]) + "," + std::to_string(m_ports[1]) + "," +
          std::to_string(m_ports[2]));
}

std::string KestodFixture::log() const {
    std::error_code error;
    if (!std::filesystem::exists(m_logFile, error)) return {};
    return readFile(m_logFile);
}

std::string KestodFixture::runTool(const std::vector<std::string>& arguments, int* status) const {
    std::string command = shellQuote(binary().string());
    for (const auto& argument : arguments) command += " " + shellQuote(argument);
    command += " --dir " + shellQuote(m_directory.string());
    for (const auto& argument : storeArguments()) command += " " + shellQuote(argument);
    return runCommand(command, status);
}

int KestodFixture::setPassword(const std::string& name, const std::string& password) const {
    const auto file = m_directory.parent_path() / "new-password.txt";
    writeFile(file, password + "\n");
    int status = -1;
    runTool({"passwd", name, "--password-file", file.string()}, &status);
    return status;
}

}  // namespace velquor::testing
