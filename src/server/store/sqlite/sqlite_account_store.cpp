// SQLite storage for kestod; see sqlite_account_store.h.
//
// This file opens, configures and migrates the database and runs transactions; the accounts
// and grants are in sqlite_accounts.cpp, the devices in sqlite_devices.cpp.
#include "server/store/sqlite/sqlite_account_store.h"

#include <algorithm>
#include <utility>

#include "server/store/schema_steps.h"
#include "server/store/sqlite/sqlite_query.h"

namespace velquor::server {

using namespace sqlite_rows;

namespace {

using support::ErrorCode;
using support::makeError;

constexpr int kBusyTimeoutMs = 15000;

// Schema steps (schema_steps.h), applied in order; step i takes the database from version i
// to i + 1.
constexpr const char* kMigrations[] = {
    // schema::kOwnerNames: the layout of the first releases.
    R"sql(
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
)sql",
    // schema::kAccountIds: devices by account id, deleted accounts kept, and grants and
    // failed-login counts held so that everything deciding a reply is in the database.
    R"sql(
CREATE TABLE accounts(
    id         INTEGER PRIMARY KEY,
    name       TEXT NOT NULL,
    salt       BLOB NOT NULL,
    iterations INTEGER NOT NULL,
    digest     BLOB NOT NULL,
    created    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')),
    deleted    TEXT);
CREATE UNIQUE INDEX accounts_by_live_name ON accounts(name) WHERE deleted IS NULL;
INSERT INTO accounts(name, salt, iterations, digest, created)
    SELECT name, salt, iterations, digest, created FROM users ORDER BY created, name;
-- Registrations whose owner was deleted under the old layout belong to a deleted account
-- of that name, so a user made later under the name does not inherit them.
INSERT INTO accounts(name, salt, iterations, digest, deleted)
    SELECT DISTINCT owner, x'', 0, x'', strftime('%Y-%m-%dT%H:%M:%SZ', 'now') FROM devices
    WHERE owner NOT IN (SELECT name FROM users);
CREATE TABLE devices_by_account(
    mac        TEXT PRIMARY KEY,
    server     TEXT NOT NULL,
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    registered TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));
INSERT INTO devices_by_account(mac, server, account_id, registered)
    SELECT d.mac, d.server, a.id, d.registered FROM devices d JOIN accounts a ON a.name = d.owner;
DROP TABLE devices;
ALTER TABLE devices_by_account RENAME TO devices;
CREATE INDEX devices_by_account_id ON devices(account_id);
DROP TABLE users;
CREATE TABLE grants(
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    peer       TEXT NOT NULL,
    expires_ms INTEGER NOT NULL,
    PRIMARY KEY(account_id, peer));
CREATE TABLE login_failures(
    name            TEXT NOT NULL,
    peer            TEXT NOT NULL,
    failures        INTEGER NOT NULL,
    window_start_ms INTEGER NOT NULL,
    PRIMARY KEY(name, peer));
CREATE INDEX login_failures_by_peer ON login_failures(peer);
)sql",
    // schema::kGenerations: credential generations. Grants made before carry none and are dropped.
    R"sql(
ALTER TABLE accounts ADD COLUMN generation INTEGER NOT NULL DEFAULT 1;
DELETE FROM grants;
ALTER TABLE grants ADD COLUMN generation INTEGER NOT NULL DEFAULT 0;
)sql",
    // schema::kListingIndex: an account's canonical MACs are listed in order straight from an index
    // that
    // holds nothing else, so a page neither sorts nor tests a row. The condition is the
    // listing's, word for word, which is what lets the planner use it.
    R"sql(
CREATE INDEX devices_listed ON devices(account_id, mac) WHERE length(mac) = 12 AND mac NOT GLOB '*[^0-9a-f]*';
)sql",
    // schema::kAccountGuard: the per-account guessing limit and the addresses each user logs in
    // from.
    R"sql(
CREATE TABLE account_guard(
    name            TEXT PRIMARY KEY,
    failures        INTEGER NOT NULL,
    last_failure_ms INTEGER NOT NULL,
    next_check_ms   INTEGER NOT NULL);
CREATE TABLE known_peers(
    account_id    INTEGER NOT NULL REFERENCES accounts(id),
    peer          TEXT NOT NULL,
    last_login_ms INTEGER NOT NULL,
    PRIMARY KEY(account_id, peer));
)sql",
    // schema::kCanonicalMacs: devices under their canonical MAC (12 lower-case digits), rewritten
    // by
    // canonicaliseDeviceMacs; those that cannot be stay as they were.
    "",
    // schema::kSpelledMacs: rows a MAC is kept under in another spelling, by the MAC, filled
    // by noteSpelledMacs; a row's entry goes with the row.
    R"sql(
CREATE TABLE spelled_macs(
    mac       TEXT PRIMARY KEY REFERENCES devices(mac) ON DELETE CASCADE ON UPDATE CASCADE,
    canonical TEXT NOT NULL);
CREATE INDEX spelled_macs_by_canonical ON spelled_macs(canonical);
)sql",
    // schema::kGuesses: each guess checked, with its network, in place of a running count per
    // name; the ranges the chief trusts for a user. Safe to take again over itself.
    R"sql(
DROP TABLE IF EXISTS account_guard;
CREATE TABLE IF NOT EXISTS guesses(
    name       TEXT NOT NULL,
    network    TEXT NOT NULL,
    checked_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS guesses_by_name ON guesses(name, checked_ms);
CREATE INDEX IF NOT EXISTS guesses_by_time ON guesses(checked_ms);
CREATE TABLE IF NOT EXISTS trusted_ranges(
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    addresses  TEXT NOT NULL,
    until_ms   INTEGER NOT NULL,
    PRIMARY KEY(account_id, addresses));
)sql",
    // schema::kPhoneAsks: the last time a phone asked about its MAC, by the canonical MAC and
    // apart from the registrations, so an answer outlives a release and precedes a
    // registration.
    R"sql(
CREATE TABLE IF NOT EXISTS phone_asks(
    mac     TEXT PRIMARY KEY,
    asked   TEXT NOT NULL,
    address TEXT NOT NULL,
    answer  TEXT NOT NULL);
)sql",
};
constexpr int kCurrentVersion = schema::kCurrent;
static_assert(std::size(kMigrations) == schema::kCurrent, "one SQLite step per schema step");

}  // namespace

support::Result<std::unique_ptr<SqliteAccountStore>> SqliteAccountStore::open(
    const std::filesystem::path& file, OpenMode mode) {
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
    std::unique_ptr<SqliteAccountStore> store(new SqliteAccountStore(db, file));
    if (auto status = store->configure(); !status) return status.error();
    if (auto status = store->migrate(); !status) return status.error();
    return store;
}

SqliteAccountStore::SqliteAccountStore(sqlite3* db, std::filesystem::path file)
    : m_db(db), m_file(std::move(file)) {}

SqliteAccountStore::~SqliteAccountStore() {
    for (auto& [sql, statement] : m_statements) sqlite3_finalize(statement);
    sqlite3_close(m_db);
}

support::Error SqliteAccountStore::sqliteError(std::string_view what) const {
    return makeError(ErrorCode::Io,
                     std::string(what) + " in " + m_file.string() + ": " + sqlite3_errmsg(m_db));
}

support::Status SqliteAccountStore::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        return makeError(ErrorCode::Io, "database " + m_file.string() + ": " + text);
    }
    return {};
}

support::Status SqliteAccountStore::configure() {
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
    return execute("PRAGMA foreign_keys=ON");
}

// A database from before the version table has the old layout when it has its users table.
support::Result<int> SqliteAccountStore::readSchemaVersion() {
    auto tables = query("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1");
    if (!tables) return tables.error();
    tables->text("schema_version");
    const int found = tables->step();
    if (found == SQLITE_DONE) {
        auto legacy = query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'users'");
        if (!legacy) return legacy.error();
        const int rc = legacy->step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqliteError("cannot read the schema");
        return rc == SQLITE_ROW ? 1 : 0;
    }
    if (found != SQLITE_ROW) return sqliteError("cannot read the schema");
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT max(version) FROM schema_version", -1, &statement,
                           nullptr) != SQLITE_OK) {
        return sqliteError("cannot read the schema version");
    }
    int version = -1;
    if (sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    if (version < 0) return sqliteError("cannot read the schema version");
    return version;
}

support::Status SqliteAccountStore::migrate() {
    for (;;) {
        // Checked again under the write lock: another process may be migrating too.
        if (auto status = execute("BEGIN IMMEDIATE"); !status) return status;
        auto version = readSchemaVersion();
        if (!version) {
            rollback();
            return version.error();
        }
        if (*version >= kCurrentVersion) {
            rollback();
            if (*version > kCurrentVersion) {
                return makeError(ErrorCode::Unsupported,
                                 "the database " + m_file.string() + " has schema version " +
                                     std::to_string(*version) + ", newer than this kestod's " +
                                     std::to_string(kCurrentVersion));
            }
            return {};
        }
        const std::string record =
            "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL);"
            "DELETE FROM schema_version;"
            "INSERT INTO schema_version(version) VALUES(" +
            std::to_string(*version + 1) + ");";
        auto status = execute(kMigrations[*version]);
        if (status && *version + 1 == schema::kCanonicalMacs) status = canonicaliseDeviceMacs();
        if (status && *version + 1 == schema::kSpelledMacs) status = noteSpelledMacs();
        if (status) status = execute(record.c_str());
        if (status) status = execute("COMMIT");
        if (!status) {
            rollback();
            return makeError(ErrorCode::Io,
                             "cannot bring " + m_file.string() + " to schema version " +
                                 std::to_string(*version + 1) + ": " + status.error().message);
        }
    }
}

void SqliteAccountStore::rollback() {
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

support::Result<int> SqliteAccountStore::schemaVersion() {
    return readSchemaVersion();
}

support::Result<SqliteAccountStore::Query> SqliteAccountStore::query(const char* sql) {
    if (auto found = m_statements.find(sql); found != m_statements.end()) {
        return Query(found->second);
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        return sqliteError("cannot prepare a query");
    }
    m_statements.emplace(sql, statement);
    return Query(statement);
}

// work() returns Result<StoreOutcome>: an Error or Exists rolls everything back.
support::Result<StoreOutcome> SqliteAccountStore::transaction(const Work& work) {
    // Waiting for another writer's lock ends with the request's deadline at the latest.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline() - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return makeError(ErrorCode::Io, std::string(kDeadlinePassed));
    sqlite3_busy_timeout(m_db, static_cast<int>(std::min<long long>(left, kBusyTimeoutMs)));
    const int begun = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);  // reads wait as long as they always did
    if (begun != SQLITE_OK) {
        if (std::chrono::steady_clock::now() >= deadline()) {
            return makeError(ErrorCode::Io, std::string(kDeadlinePassed));
        }
        return sqliteError("cannot begin a transaction");
    }
    auto outcome = work();
    if (!outcome) {
        rollback();
        return outcome;
    }
    if (*outcome == StoreOutcome::Exists) {
        rollback();
        return outcome;
    }
    if (std::chrono::steady_clock::now() >= deadline()) {
        rollback();
        return makeError(ErrorCode::Io, std::string(kDeadlinePassed));
    }
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        auto error = sqliteError("cannot commit a change");
        rollback();
        return error;
    }
    return outcome;
}

support::Result<std::optional<std::string>> SqliteAccountStore::setting(std::string_view key) {
    VELQUOR_QUERY(find, "SELECT value FROM settings WHERE key = ?1");
    find->text(key);
    const int rc = find->step();
    if (rc == SQLITE_DONE) return std::optional<std::string>();
    if (rc != SQLITE_ROW) return sqliteError("cannot read a setting");
    return std::optional<std::string>(columnBytes(find->get(), 0));
}

support::Status SqliteAccountStore::setSetting(std::string_view key, std::string_view value) {
    return asStatus(transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(put,
                      "INSERT INTO settings(key, value) VALUES(?1, ?2) "
                      "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        put->text(key).text(value);
        return changed(m_db, put->step(), m_file);
    }));
}

support::Status SqliteAccountStore::beginServing() {
    return asStatus(transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(clear, "DELETE FROM grants");
        return changed(m_db, clear->step(), m_file);
    }));
}

support::Result<StoreSnapshot> SqliteAccountStore::exportSnapshot() {
    StoreSnapshot snapshot;
    VELQUOR_QUERY(settings, "SELECT key, value FROM settings ORDER BY key");
    int rc = SQLITE_OK;
    while ((rc = settings->step()) == SQLITE_ROW) {
        snapshot.settings.emplace_back(columnBytes(settings->get(), 0),
                                       columnBytes(settings->get(), 1));
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot read the settings");
    VELQUOR_QUERY(accounts,
                  "SELECT id, name, salt, iterations, digest, created, coalesce(deleted, '') "
                  "FROM accounts ORDER BY id");
    while ((rc = accounts->step()) == SQLITE_ROW) {
        sqlite3_stmt* row = accounts->get();
        const auto iterations = sqlite3_column_int64(row, 3);
        snapshot.accounts.push_back(
            StoreSnapshot::Account{sqlite3_column_int64(row, 0), columnBytes(row, 1),
                                   PasswordHash{columnBytes(row, 2),
                                                iterations > 0 && iterations <= 0x7fffffff
                                                    ? static_cast<std::uint32_t>(iterations)
                                                    : 0,
                                                columnBytes(row, 4)},
                                   columnBytes(row, 5), columnBytes(row, 6)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot read the accounts");
    VELQUOR_QUERY(devices, "SELECT mac, server, account_id, registered FROM devices ORDER BY mac");
    while ((rc = devices->step()) == SQLITE_ROW) {
        sqlite3_stmt* row = devices->get();
        snapshot.devices.push_back(StoreSnapshot::Device{columnBytes(row, 0), columnBytes(row, 1),
                                                         sqlite3_column_int64(row, 2),
                                                         columnBytes(row, 3)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot read the devices");
    VELQUOR_QUERY(asks, "SELECT mac, asked, address, answer FROM phone_asks ORDER BY mac");
    while ((rc = asks->step()) == SQLITE_ROW) {
        sqlite3_stmt* row = asks->get();
        snapshot.asks.push_back(StoreSnapshot::Ask{
            columnBytes(row, 0),
            PhoneAsk{columnBytes(row, 1), columnBytes(row, 2), columnBytes(row, 3)}});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot read the phones' asks");
    return snapshot;
}

}  // namespace velquor::server
