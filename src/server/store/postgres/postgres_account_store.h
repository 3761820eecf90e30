// PostgresAccountStore: the AccountStore in a PostgreSQL database that several kestod instances
// share. Every decision is one statement or one server-side function, so it runs atomically
// whichever instance sends it; the unique constraints give "EXIST"; times come from the
// database's clock, so instances on different machines agree on expiry. Statements are
// prepared once per connection. A change runs in a transaction of its own that is committed only
// while its request's deadline has not passed, so a database that stalls or a connection that
// breaks never leaves a change stored behind a refusal, nor made twice: a change is sent again
// on a new connection only when it is certain the first try was rolled back, and a break
// while it was committing is reported as "outcome unknown", never retried. A lost connection is
// opened again on the next call, so a database that comes back is used again without a
// restart; while it is away every call fails within the connect time-out.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/store/account_store.h"

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace velquor::server {

// Why a --database value cannot be a PostgreSQL connection: not a postgresql:// URL nor
// key=value settings, malformed, or holding a password, which every local user could read in
// the process list (a password file readable only by kestod's account keeps it instead).
support::Status checkDatabaseUrl(const std::string& url);

class PostgresAccountStore final : public AccountStore {
public:
    // url: a libpq connection URI or key=value string.
    static support::Result<std::unique_ptr<PostgresAccountStore>> open(const std::string& url,
                                                                       OpenMode mode);
    ~PostgresAccountStore() override;
    PostgresAccountStore(const PostgresAccountStore&) = delete;
    PostgresAccountStore& operator=(const PostgresAccountStore&) = delete;

    support::Result<StoreOutcome> addUser(std::string_view name, const PasswordHash& hash) override;
    support::Result<StoreOutcome> deleteUser(std::string_view name) override;
    support::Result<StoreOutcome> setPassword(std::string_view name, const PasswordHash& hash,
                                              std::string_view keepPeer) override;
    support::Status putUser(std::string_view name, const PasswordHash& hash) override;
    support::Result<std::optional<StoredLogin>> findLogin(std::string_view name) override;

    support::Result<LoginAdmission> admitLogin(std::string_view name, std::string_view peer,
                                               std::string_view peerGroup,
                                               const LoginLimits& limits) override;
    support::Result<bool> grantLogin(std::string_view name, const StoredLogin& login,
                                     std::string_view peer, std::string_view peerGroup,
                                     bool guessed, std::chrono::milliseconds lifetime) override;
    support::Result<StoreOutcome> trustAddresses(std::string_view name, std::string_view range,
                                                 std::chrono::milliseconds lifetime) override;
    support::Result<bool> holdsGrant(std::string_view name, std::string_view peer) override;

    support::Result<StoreOutcome> addDevice(std::string_view mac, std::string_view serverText,
                                            std::string_view owner) override;
    support::Result<StoreOutcome> replaceDevice(std::string_view mac, std::string_view serverText,
                                                std::string_view owner) override;
    support::Result<StoreOutcome> deleteDevice(std::string_view mac,
                                               std::string_view owner) override;

    support::Result<std::optional<DeviceRow>> releaseDevice(std::string_view mac) override;
    support::Result<StoreOutcome> assignDevice(std::string_view mac,
                                               std::string_view owner) override;
    support::Result<std::vector<UserRow>> listUsers(const LoginLimits& limits) override;
    support::Result<std::vector<DeviceRow>> listDevices() override;
    support::Result<DevicePage> devicesOf(std::string_view owner, std::uint64_t start,
                                          std::size_t limit) override;
    support::Result<std::optional<DeviceRow>> findDevice(std::string_view mac) override;
    support::Result<std::uint64_t> releaseDevicesOf(std::string_view owner) override;
    support::Status recordAsks(const std::vector<MacAsk>& asks) override;

    support::Result<std::optional<std::string>> setting(std::string_view key) override;
    support::Status setSetting(std::string_view key, std::string_view value) override;
    support::Status beginServing() override;
    support::Result<int> schemaVersion() override;

    // Copies a snapshot into this database, which must hold no account yet; all or nothing.
    support::Status importSnapshot(const StoreSnapshot& snapshot);

    struct Statement {
        const char* name;
        const char* sql;
        bool changes = false;  // writes: run in a transaction, never re-run blindly
    };

private:
    class Rows;
    // Why waiting for the database gave no result.
    enum class Failure { None, Lost, TimedOut };

    explicit PostgresAccountStore(std::string url);
    support::Status connect();
    // Connected, with nothing showing that the database closed the connection meanwhile.
    bool connectionLooksAlive();
    void abandonConnection();
    support::Status migrate(OpenMode mode);
    // Every stored MAC that can take its canonical form takes it; inside the migration's
    // transaction.
    support::Result<std::vector<std::string>> storedMacs();
    support::Status canonicaliseDeviceMacs();
    support::Status noteSpelledMacs();
    // Runs a prepared statement with text parameters, connecting (again) first if needed. A
    // read goes once more on a fresh connection if the connection was lost on the way; a
    // change only if it was lost before its commit was sent.
    support::Result<Rows> run(const Statement& statement, const std::vector<std::string>& params);
    support::Result<Rows> runOnce(const Statement& statement,
                                  const std::vector<std::string>& params);
    // Runs work (statements sent with runOnce) in a transaction begun by begin, a plain SQL
    // text, and commits it while the deadline has not passed; sent again on a new connection
    // only when the connection was lost before COMMIT was sent. Work's last rows come back.
    using Work = std::function<support::Result<Rows>()>;
    support::Result<Rows> inTransaction(const std::string& begin, const Work& work);
    support::Result<Rows> transactionOnce(const std::string& begin, const Work& work);
    // Sends one command (a prepared statement, or plain SQL when statement is null) and waits
    // for its result until the deadline; m_failure says why there is none.
    support::Result<Rows> exchange(const Statement* statement, const std::string& sql,
                                   const std::vector<std::string>& params);
    support::Status ensurePrepared(const Statement& statement, std::size_t parameterCount);
    PGresult* collectResult();
    support::Error waitFailure(std::string_view during);
    support::Result<StoreOutcome> change(const Statement& statement,
                                         const std::vector<std::string>& params);
    support::Status simple(const std::string& sql);

    std::string m_url;
    PGconn* m_connection = nullptr;
    std::set<std::string> m_prepared;  // on the current connection
    Failure m_failure = Failure::None;
};

}  // namespace velquor::server
