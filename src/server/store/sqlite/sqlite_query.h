// What the SQLite store's files share: one use of a cached statement (Query), the outcome of a
// changing step, and reading a column as bytes.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "server/store/sqlite/sqlite_account_store.h"

namespace velquor::server {

// One use of a cached statement: binds in order, and resets the statement when it goes.
class SqliteAccountStore::Query {
public:
    explicit Query(sqlite3_stmt* statement) : m_statement(statement) {}
    Query(Query&& other) noexcept : m_statement(std::exchange(other.m_statement, nullptr)) {}
    Query& operator=(Query&&) = delete;
    ~Query() {
        if (m_statement == nullptr) return;
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }

    // An empty view may carry no pointer at all, which SQLite would bind as NULL.
    Query& text(std::string_view value) {
        sqlite3_bind_text(m_statement, ++m_index, value.empty() ? "" : value.data(),
                          static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Query& blob(std::string_view value) {
        sqlite3_bind_blob(m_statement, ++m_index, value.empty() ? "" : value.data(),
                          static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Query& number(long long value) {
        sqlite3_bind_int64(m_statement, ++m_index, value);
        return *this;
    }
    int step() { return sqlite3_step(m_statement); }
    sqlite3_stmt* get() const { return m_statement; }

private:
    sqlite3_stmt* m_statement;
    int m_index = 0;
};

namespace sqlite_rows {

inline long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline std::string columnBytes(sqlite3_stmt* statement, int column) {
    const void* data = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (data == nullptr || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

// The columns VELQUOR_ASK_COLUMNS names, from first on.
#define VELQUOR_ASK_COLUMNS "coalesce(q.asked, ''), coalesce(q.address, ''), coalesce(q.answer, '')"
inline PhoneAsk askFrom(sqlite3_stmt* statement, int first) {
    return PhoneAsk{columnBytes(statement, first), columnBytes(statement, first + 1),
                    columnBytes(statement, first + 2)};
}

// The outcome of one changing step: how many rows it changed, or that a UNIQUE constraint
// refused it.
inline support::Result<StoreOutcome> changed(sqlite3* db, int rc,
                                             const std::filesystem::path& file) {
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE) {
        return StoreOutcome::Exists;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        return support::makeError(
            support::ErrorCode::Io,
            "cannot change the database " + file.string() + ": " + sqlite3_errmsg(db));
    }
    return sqlite3_changes(db) > 0 ? StoreOutcome::Done : StoreOutcome::NotFound;
}

inline support::Status asStatus(const support::Result<StoreOutcome>& outcome) {
    if (!outcome) return outcome.error();
    return {};
}

}  // namespace sqlite_rows

}  // namespace velquor::server

// Prepares (once) and binds a query in a member of SqliteAccountStore; returns its error.
#define VELQUOR_QUERY(name, sql) \
    auto name = query(sql);      \
    if (!name) return name.error()
