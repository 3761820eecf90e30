// KestodFixture: a real kestod process for tests and benchmarks. It initialises a server
// folder in a temporary directory (known administrator password, a low PBKDF2 iteration
// count so logins are quick), serves on free loopback ports, and stops the process when it
// goes out of scope. stop()/kill()/restart() let a test check what survives a restart.
//
// The store is the folder's SQLite file, or, where VELQUOR_TEST_STORE=postgres, a new
// database of its own in the test PostgreSQL cluster (see pg_cluster.sh), dropped at the end.
// A second fixture can serve the same folder and database as a first: two instances.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "provisioning/provisioning_channel.h"
#include "temp_dir.h"

namespace velquor::testing {

enum class StoreKind { Sqlite, Postgres };

class KestodFixture;

struct KestodOptions {
    std::string chiefPassword = "chief-pass-1";
    std::uint32_t pbkdf2Iterations = 1000;
    std::string address = "127.0.0.1";
    // Added to 'kestod serve', e.g. {"--deadline-ms", "500", "--grant-ms", "300"}.
    std::vector<std::string> serveArguments{};
    // Serve the folder and database of this fixture instead of making new ones.
    const KestodFixture* sameStateAs = nullptr;
    // The store, when not the default one (VELQUOR_TEST_STORE).
    std::optional<StoreKind> store{};
    // A PostgreSQL database made elsewhere (implies StoreKind::Postgres); with sameStateAs,
    // the folder of that fixture served on this database.
    std::string databaseUrl{};
    // Phones' CA files 'kestod init --phone-ca' keeps: the phones' port is served.
    std::vector<std::string> phoneCas{};
};

// A database of its own in the test cluster, dropped when it goes.
class TestDatabase {
public:
    // In the cluster of the state file (default: the one ctest starts).
    explicit TestDatabase(const std::string& stateFile = {});
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    const std::string& url() const { return m_url; }
    // Runs SQL on the cluster's maintenance database; throws on failure.
    static void administer(const std::string& sql, const std::string& stateFile = {});
    // The state file pg_cluster.sh wrote for the cluster ctest starts.
    static std::string sharedClusterState();

private:
    std::string m_stateFile;
    std::string m_name;
    std::string m_url;
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
    // The phones' port, 0 when the folder keeps no phones' CAs (a free port, kept by restart).
    std::uint16_t phonePort() const { return m_phonePort; }
    // The CA certificate clients must trust (an absolute path).
    std::filesystem::path caCertPath() const;
    // The server's folder (database, keys, certificates).
    const std::filesystem::path& directory() const { return m_directory; }
    const std::string& chiefPassword() const { return m_options.chiefPassword; }
    StoreKind store() const { return m_store; }
    // The PostgreSQL URL; empty for SQLite.
    const std::string& databaseUrl() const { return m_databaseUrl; }
    // What a kestod command line needs to reach this fixture's store besides --dir.
    std::vector<std::string> storeArguments() const;
    // The store the tests use unless told otherwise (VELQUOR_TEST_STORE).
    static StoreKind defaultStore();
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

    // Everything kestod wrote on stderr so far (one line per request), and the file it is in.
    std::string log() const;
    const std::filesystem::path& logFile() const { return m_logFile; }
    // Runs "kestod <arguments...> --dir <directory> [--database URL]" and returns its standard
    // output.
    std::string runTool(const std::vector<std::string>& arguments, int* status = nullptr) const;
    // "kestod passwd NAME --password-file F" with password in F; kestod's exit status.
    int setPassword(const std::string& name, const std::string& password) const;

    static std::filesystem::path binary();

private:
    void start(const std::string& portsArgument);

    KestodOptions m_options;
    StoreKind m_store = StoreKind::Sqlite;
    TempDir m_temp;
    std::unique_ptr<TestDatabase> m_database;
    std::string m_databaseUrl;
    std::filesystem::path m_directory;
    std::filesystem::path m_logFile;
    std::array<std::uint16_t, 3> m_ports{};
    std::uint16_t m_phonePort = 0;
    pid_t m_pid = -1;
};

}  // namespace velquor::testing
