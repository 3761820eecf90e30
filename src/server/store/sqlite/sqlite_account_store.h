// SqliteAccountStore: the AccountStore in one SQLite file in the server's folder, the
// embedded default that needs nothing installed. Writers take the database's write lock up
// front (BEGIN IMMEDIATE), so every read-then-write is serialised; WAL lets readers go on
// meanwhile; a writer waits for the lock no longer than its request's deadline and commits
// nothing once that has passed. Opening migrates an older file forward, including the layout of
// releases that kept devices by owner name.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "server/store/account_store.h"

namespace velquor::server {

class SqliteAccountStore final : public AccountStore {
public:
    static support::Result<std::unique_ptr<SqliteAccountStore>> open(
        const std::filesystem::path& file, OpenMode mode);
    ~SqliteAccountStore() override;
    SqliteAccountStore(const SqliteAccountStore&) = delete;
    SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

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

    // Everything 'kestod migrate' carries to another store.
    support::Result<StoreSnapshot> exportSnapshot();

private:
    class Query;

    SqliteAccountStore(sqlite3* db, std::filesystem::path file);
    support::Status configure();
    support::Status migrate();
    // Every stored MAC that can take its canonical form takes it; inside the migration's
    // transaction.
    support::Result<std::vector<std::string>> storedMacs();
    support::Status canonicaliseDeviceMacs();
    support::Status noteSpelledMacs();
    support::Result<int> readSchemaVersion();
    support::Result<Query> query(const char* sql);
    // Runs work inside BEGIN IMMEDIATE ... COMMIT; rolls back if work fails. A UNIQUE
    // constraint refusal comes back as Exists.
    using Work = std::function<support::Result<StoreOutcome>()>;
    support::Result<StoreOutcome> transaction(const Work& work);
    support::Status execute(const char* sql);
    void rollback();
    support::Error sqliteError(std::string_view what) const;

    sqlite3* m_db = nullptr;
    std::map<const char*, sqlite3_stmt*> m_statements;
    std::filesystem::path m_file;
};

}  // namespace velquor::server
