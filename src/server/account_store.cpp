// SQLite storage for kestod; see account_store.h.
#include "server/account_store.h"

#include <sqlite3.h>

#include <utility>

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

constexpr int kBusyTimeoutMs = 15000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS settings(
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS users(
    name       TEXT PRIMARY KEY,
    salt       BLOB NOT NULL,
    iterations INTEGER NOT NULL,
    digest     BLOB NOT NULL,
    created    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));
CREATE TABLE IF NOT EXISTS devices(
    mac        TEXT PRIMARY KEY,
    server     TEXT NOT NULL,
    owner      TEXT NOT NULL,
    registered TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));
CREATE INDEX IF NOT EXISTS devices_by_owner ON devices(owner);
)sql";

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

void bindBlob(sqlite3_stmt* statement, int index, std::string_view bytes) {
    sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
}

std::string columnBytes(sqlite3_stmt* statement, int column) {
    const void* data = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (data == nullptr || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

// Resets a cached statement whatever way the caller leaves.
class ResetGuard {
public:
    explicit ResetGuard(sqlite3_stmt* statement) : m_statement(statement) {}
    ~ResetGuard() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    ResetGuard(const ResetGuard&) = delete;
    ResetGuard& operator=(const ResetGuard&) = delete;

private:
    sqlite3_stmt* m_statement;
};

}  // namespace

support::Result<AccountStore> AccountStore::open(const std::filesystem::path& file,
                                                 OpenMode mode) {
    if (mode == OpenMode::MustExist && !std::filesystem::exists(file)) {
        return makeError(ErrorCode::NotFound,
                         "no database at " + file.string() + " (run 'kestod init' first)");
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (mode == OpenMode::CreateIfMissing) flags |= SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = "cannot open database " + file.string() + ": " +
                              (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return makeError(ErrorCode::Io, std::move(message));
    }
    AccountStore store(db);
    store.m_file = file;
    if (auto status = store.configure(); !status) return status.error();
    return store;
}

AccountStore::AccountStore(sqlite3* db) : m_db(db) {}

AccountStore::AccountStore(AccountStore&& other) noexcept
    : m_db(std::exchange(other.m_db, nullptr)),
      m_statements(std::move(other.m_statements)),
      m_file(std::move(other.m_file)) {
    other.m_statements.clear();
}

AccountStore& AccountStore::operator=(AccountStore&& other) noexcept {
    if (this != &other) {
        close();
        m_db = std::exchange(other.m_db, nullptr);
        m_statements = std::move(other.m_statements);
        other.m_statements.clear();
        m_file = std::move(other.m_file);
    }
    return *this;
}

AccountStore::~AccountStore() { close(); }

void AccountStore::close() {
    for (auto& [sql, statement] : m_statements) sqlite3_finalize(statement);
    m_statements.clear();
    if (m_db != nullptr) sqlite3_close(m_db);
    m_db = nullptr;
}

support::Error AccountStore::sqliteError(std::string_view what) const {
    return makeError(ErrorCode::Io, std::string(what) + " in " + m_file.string() + ": " +
                                        sqlite3_errmsg(m_db));
}

support::Status AccountStore::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        return makeError(ErrorCode::Io, "database " + m_file.string() + ": " + text);
    }
    return {};
}

support::Status AccountStore::configure() {
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    // The journal mode is only a request: a read-only folder or some file systems refuse
    // WAL silently, and then concurrent writers would block each other for good.
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA journal_mode=WAL", -1, &statement, nullptr) != SQLITE_OK) {
        return sqliteError("cannot set the journal mode");
    }
    std::string mode;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(statement, 0);
        if (text != nullptr) mode = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
    if (mode != "wal") {
        return makeError(ErrorCode::Io, "database " + m_file.string() +
                                            " refused write-ahead logging (journal mode is '" +
                                            mode + "')");
    }
    if (auto status = execute("PRAGMA synchronous=FULL"); !status) return status;
    if (auto status = execute("PRAGMA foreign_keys=ON"); !status) return status;
    return execute(kSchema);
}

support::Result<sqlite3_stmt*> AccountStore::prepare(const char* sql) {
    if (auto found = m_statements.find(sql); found != m_statements.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        return sqliteError("cannot prepare a query");
    }
    m_statements.emplace(sql, statement);
    return statement;
}

template <typename Bind>
support::Result<StoreOutcome> AccountStore::changeOne(const char* sql, Bind&& bind) {
    auto statement = prepare(sql);
    if (!statement) return statement.error();
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return sqliteError("cannot begin a transaction");
    }
    int rc = SQLITE_OK;
    {
        ResetGuard reset(*statement);
        bind(*statement);
        rc = sqlite3_step(*statement);
    }
    if (rc != SQLITE_DONE) {
        const bool taken = rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE;
        auto error = sqliteError("cannot change the database");
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (taken) return StoreOutcome::Exists;
        return error;
    }
    const bool changed = sqlite3_changes(m_db) > 0;
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        auto error = sqliteError("cannot commit a change");
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return error;
    }
    return changed ? StoreOutcome::Done : StoreOutcome::NotFound;
}

support::Result<StoreOutcome> AccountStore::addUser(std::string_view name,
                                                    const PasswordHash& hash) {
    return changeOne("INSERT INTO users(name, salt, iterations, digest) VALUES(?1, ?2, ?3, ?4)",
                     [&](sqlite3_stmt* s) {
                         bindText(s, 1, name);
                         bindBlob(s, 2, hash.salt);
                         sqlite3_bind_int64(s, 3, hash.iterations);
                         bindBlob(s, 4, hash.digest);
                     });
}

support::Result<StoreOutcome> AccountStore::deleteUser(std::string_view name) {
    return changeOne("DELETE FROM users WHERE name = ?1",
                     [&](sqlite3_stmt* s) { bindText(s, 1, name); });
}

support::Result<StoreOutcome> AccountStore::setPassword(std::string_view name,
                                                        const PasswordHash& hash) {
    return changeOne("UPDATE users SET salt = ?2, iterations = ?3, digest = ?4 WHERE name = ?1",
                     [&](sqlite3_stmt* s) {
                         bindText(s, 1, name);
                         bindBlob(s, 2, hash.salt);
                         sqlite3_bind_int64(s, 3, hash.iterations);
                         bindBlob(s, 4, hash.digest);
                     });
}

support::Status AccountStore::putUser(std::string_view name, const PasswordHash& hash) {
    auto outcome = changeOne(
        "INSERT INTO users(name, salt, iterations, digest) VALUES(?1, ?2, ?3, ?4) "
        "ON CONFLICT(name) DO UPDATE SET salt = excluded.salt, iterations = excluded.iterations, "
        "digest = excluded.digest",
        [&](sqlite3_stmt* s) {
            bindText(s, 1, name);
            bindBlob(s, 2, hash.salt);
            sqlite3_bind_int64(s, 3, hash.iterations);
            bindBlob(s, 4, hash.digest);
        });
    if (!outcome) return outcome.error();
    return {};
}

support::Result<std::optional<PasswordHash>> AccountStore::findPassword(std::string_view name) {
    auto statement = prepare("SELECT salt, iterations, digest FROM users WHERE name = ?1");
    if (!statement) return statement.error();
    ResetGuard reset(*statement);
    bindText(*statement, 1, name);
    const int rc = sqlite3_step(*statement);
    if (rc == SQLITE_DONE) return std::optional<PasswordHash>();
    if (rc != SQLITE_ROW) return sqliteError("cannot read an account");
    PasswordHash hash;
    hash.salt = columnBytes(*statement, 0);
    const auto iterations = sqlite3_column_int64(*statement, 1);
    hash.iterations = iterations > 0 && iterations <= 0x7fffffff
                          ? static_cast<std::uint32_t>(iterations)
                          : 0;
    hash.digest = columnBytes(*statement, 2);
    return std::optional<PasswordHash>(std::move(hash));
}

support::Result<StoreOutcome> AccountStore::addDevice(std::string_view mac,
                                                      std::string_view serverText,
                                                      std::string_view owner) {
    return changeOne("INSERT INTO devices(mac, server, owner) VALUES(?1, ?2, ?3)",
                     [&](sqlite3_stmt* s) {
                         bindText(s, 1, mac);
                         bindText(s, 2, serverText);
                         bindText(s, 3, owner);
                     });
}

support::Result<StoreOutcome> AccountStore::replaceDevice(std::string_view mac,
                                                          std::string_view serverText,
                                                          std::string_view owner) {
    return changeOne(
        "UPDATE devices SET server = ?2, "
        "registered = strftime('%Y-%m-%dT%H:%M:%SZ', 'now') WHERE mac = ?1 AND owner = ?3",
        [&](sqlite3_stmt* s) {
            bindText(s, 1, mac);
            bindText(s, 2, serverText);
            bindText(s, 3, owner);
        });
}

support::Result<StoreOutcome> AccountStore::deleteDevice(std::string_view mac,
                                                         std::string_view owner) {
    return changeOne("DELETE FROM devices WHERE mac = ?1 AND owner = ?2", [&](sqlite3_stmt* s) {
        bindText(s, 1, mac);
        bindText(s, 2, owner);
    });
}

support::Result<std::vector<UserRow>> AccountStore::listUsers() {
    auto statement = prepare(
        "SELECT u.name, u.created, (SELECT count(*) FROM devices d WHERE d.owner = u.name) "
        "FROM users u ORDER BY u.name");
    if (!statement) return statement.error();
    ResetGuard reset(*statement);
    std::vector<UserRow> rows;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(*statement)) == SQLITE_ROW) {
        rows.push_back(UserRow{columnBytes(*statement, 0), columnBytes(*statement, 1),
                               sqlite3_column_int64(*statement, 2)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list accounts");
    return rows;
}

support::Result<std::vector<DeviceRow>> AccountStore::listDevices() {
    auto statement =
        prepare("SELECT mac, server, owner, registered FROM devices ORDER BY owner, mac");
    if (!statement) return statement.error();
    ResetGuard reset(*statement);
    std::vector<DeviceRow> rows;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(*statement)) == SQLITE_ROW) {
        rows.push_back(DeviceRow{columnBytes(*statement, 0), columnBytes(*statement, 1),
                                 columnBytes(*statement, 2), columnBytes(*statement, 3)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list devices");
    return rows;
}

support::Result<std::optional<std::string>> AccountStore::setting(std::string_view key) {
    auto statement = prepare("SELECT value FROM settings WHERE key = ?1");
    if (!statement) return statement.error();
    ResetGuard reset(*statement);
    bindText(*statement, 1, key);
    const int rc = sqlite3_step(*statement);
    if (rc == SQLITE_DONE) return std::optional<std::string>();
    if (rc != SQLITE_ROW) return sqliteError("cannot read a setting");
    return std::optional<std::string>(columnBytes(*statement, 0));
}

support::Status AccountStore::setSetting(std::string_view key, std::string_view value) {
    auto outcome = changeOne(
        "INSERT INTO settings(key, value) VALUES(?1, ?2) "
        "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
        [&](sqlite3_stmt* s) {
            bindText(s, 1, key);
            bindText(s, 2, value);
        });
    if (!outcome) return outcome.error();
    return {};
}

}  // namespace velquor::server
