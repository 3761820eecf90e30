// AccountStore: kestod's SQLite database of accounts, device registrations and settings.
// One AccountStore is one database connection; each worker thread opens its own. Every
// change runs in a BEGIN IMMEDIATE transaction and returns only after COMMIT did, so a
// caller that answers "YES" after a Done has the change on disk.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/password_hash.h"
#include "support/result.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velquor::server {

enum class StoreOutcome {
    Done,      // the change is committed
    Exists,    // the name or MAC is already taken
    NotFound,  // nothing matched (unknown name, or a MAC this owner does not hold)
};

struct UserRow {
    std::string name;
    std::string created;
    long long devices = 0;
};

struct DeviceRow {
    std::string mac;
    std::string server;
    std::string owner;
    std::string registered;
};

class AccountStore {
public:
    enum class OpenMode { CreateIfMissing, MustExist };

    static support::Result<AccountStore> open(const std::filesystem::path& file, OpenMode mode);

    AccountStore(AccountStore&&) noexcept;
    AccountStore& operator=(AccountStore&&) noexcept;
    ~AccountStore();

    support::Result<StoreOutcome> addUser(std::string_view name, const PasswordHash& hash);
    support::Result<StoreOutcome> deleteUser(std::string_view name);
    support::Result<StoreOutcome> setPassword(std::string_view name, const PasswordHash& hash);
    // Adds the user or replaces an existing user's password.
    support::Status putUser(std::string_view name, const PasswordHash& hash);
    support::Result<std::optional<PasswordHash>> findPassword(std::string_view name);

    support::Result<StoreOutcome> addDevice(std::string_view mac, std::string_view serverText,
                                            std::string_view owner);
    support::Result<StoreOutcome> replaceDevice(std::string_view mac, std::string_view serverText,
                                                std::string_view owner);
    support::Result<StoreOutcome> deleteDevice(std::string_view mac, std::string_view owner);

    support::Result<std::vector<UserRow>> listUsers();
    support::Result<std::vector<DeviceRow>> listDevices();

    support::Result<std::optional<std::string>> setting(std::string_view key);
    support::Status setSetting(std::string_view key, std::string_view value);

private:
    explicit AccountStore(sqlite3* db);
    void close();
    support::Status configure();
    support::Result<sqlite3_stmt*> prepare(const char* sql);
    // Runs one changing statement inside BEGIN IMMEDIATE ... COMMIT and reports how many
    // rows it changed, or that a UNIQUE constraint refused it.
    template <typename Bind>
    support::Result<StoreOutcome> changeOne(const char* sql, Bind&& bind);
    support::Status execute(const char* sql);
    support::Error sqliteError(std::string_view what) const;

    sqlite3* m_db = nullptr;
    std::map<const char*, sqlite3_stmt*> m_statements;
    std::filesystem::path m_file;
};

}  // namespace velquor::server
