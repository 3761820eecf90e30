// What the PostgreSQL store's files share: the result of one statement (Rows), the statement
// declarations and the hex form in which bytes travel as bytea.
#pragma once

#include <libpq-fe.h>

#include <charconv>
#include <string>
#include <string_view>
#include <utility>

#include "server/store/postgres/postgres_account_store.h"

namespace velquor::server {

namespace postgres_rows {

// A timestamp as to_char() writes it for the listings.
#define VELQUOR_ISO_TIME "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'"

// The three columns of a phone's last ask (q, joined to phone_asks), empty when none.
#define VELQUOR_ASK_COLUMNS                                          \
    "coalesce(to_char(q.asked AT TIME ZONE 'UTC', " VELQUOR_ISO_TIME \
    "), ''), "                                                       \
    "coalesce(q.address, ''), coalesce(q.answer, '')"

inline std::string toHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xf];
    }
    return hex;
}

inline int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

inline std::string fromHex(std::string_view hex) {
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(hexValue(hex[i]) << 4 | hexValue(hex[i + 1]));
    }
    return bytes;
}

inline long long toNumber(std::string_view text) {
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

inline StoreOutcome countedOutcome(long long count) {
    return count > 0 ? StoreOutcome::Done : StoreOutcome::NotFound;
}

}  // namespace postgres_rows

// The result of one statement; owns the PGresult.
class PostgresAccountStore::Rows {
public:
    explicit Rows(PGresult* result, bool duplicate = false)
        : m_result(result), m_duplicate(duplicate) {}
    Rows(Rows&& other) noexcept
        : m_result(std::exchange(other.m_result, nullptr)), m_duplicate(other.m_duplicate) {}
    Rows& operator=(Rows&&) = delete;
    ~Rows() { PQclear(m_result); }

    // A unique constraint refused the statement.
    bool duplicate() const { return m_duplicate; }
    int count() const { return PQntuples(m_result); }
    std::string text(int row, int column) const {
        return std::string(PQgetvalue(m_result, row, column),
                           static_cast<std::size_t>(PQgetlength(m_result, row, column)));
    }
    std::string bytes(int row, int column) const {
        return postgres_rows::fromHex(text(row, column));
    }
    bool isNull(int row, int column) const { return PQgetisnull(m_result, row, column) != 0; }
    long long number(int row, int column) const {
        return postgres_rows::toNumber(text(row, column));
    }
    PhoneAsk ask(int row, int first) const {
        return PhoneAsk{text(row, first), text(row, first + 1), text(row, first + 2)};
    }
    long long affected() const { return postgres_rows::toNumber(PQcmdTuples(m_result)); }

private:
    PGresult* m_result;
    bool m_duplicate;
};

}  // namespace velquor::server

// A statement that only reads, and one that changes: the latter runs in a transaction and is
// never re-run blindly.
#define VELQUOR_STATEMENT(name, sql)                 \
    constexpr PostgresAccountStore::Statement name { \
#name, sql, false                            \
    }
#define VELQUOR_CHANGE(name, sql)                    \
    constexpr PostgresAccountStore::Statement name { \
#name, sql, true                             \
    }

// Runs a statement in a member of PostgresAccountStore; returns its error.
#define VELQUOR_RUN(rows, statement, ...)      \
    auto rows = run(statement, {__VA_ARGS__}); \
    if (!rows) return rows.error()
