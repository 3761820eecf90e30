// PostgresAccountStore: the AccountStore in a PostgreSQL database that several kestod instances
// share. Every decision is one statement or one server-side function, so it runs atomically
// whichever instance sends it; the unique constraints give "EXIST"; times come from the
// database's clock, so instances on different machines agree on expiry. Statements are
// prepared once per connection. A lost connection is opened again on the next call, so a
// database that comes back is used again without a restart; while it is away every call fails
// within the connect time-out.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/account_store.h"

typedef struct pg_conn PGconn;

namespace velquor::server {

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
    support::Result<std::optional<PasswordHash>> findPassword(std::string_view name) override;

    support::Result<bool> admitLogin(std::string_view name, std::string_view peer,
                                     const LoginLimits& limits) override;
    support::Status grantLogin(std::string_view name, std::string_view peer,
                               std::chrono::milliseconds lifetime) override;
    support::Result<bool> holdsGrant(std::string_view name, std::string_view peer) override;

    support::Result<StoreOutcome> addDevice(std::string_view mac, std::string_view serverText,
                                            std::string_view owner) override;
    support::Result<StoreOutcome> replaceDevice(std::string_view mac, std::string_view serverText,
                                                std::string_view owner) override;
    support::Result<StoreOutcome> deleteDevice(std::string_view mac,
                                               std::string_view owner) override;

    support::Result<std::vector<UserRow>> listUsers() override;
    support::Result<std::vector<DeviceRow>> listDevices() override;

    support::Result<std::optional<std::string>> setting(std::string_view key) override;
    support::Status setSetting(std::string_view key, std::string_view value) override;
    support::Status beginServing() override;
    support::Result<int> schemaVersion() override;

    // Copies a snapshot into this database, which must hold no account yet; all or nothing.
    support::Status importSnapshot(const StoreSnapshot& snapshot);

private:
    class Rows;
    struct Statement {
        const char* name;
        const char* sql;
    };

    explicit PostgresAccountStore(std::string url);
    support::Status connect();
    support::Status migrate(OpenMode mode);
    // Runs a prepared statement with text parameters, connecting (again) first if needed; one
    // more try on a fresh connection if the connection was lost on the way.
    support::Result<Rows> run(const Statement& statement, const std::vector<std::string>& params);
    support::Result<Rows> runOnce(const Statement& statement,
                                  const std::vector<std::string>& params);
    support::Result<StoreOutcome> change(const Statement& statement,
                                         const std::vector<std::string>& params);
    support::Status simple(const std::string& sql);

    std::string m_url;
    PGconn* m_connection = nullptr;
    std::set<std::string> m_prepared;  // on the current connection
};

}  // namespace velquor::server
