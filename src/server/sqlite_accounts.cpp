// Accounts, logins, grants and failed-login counts in the SQLite store.
#include "server/sqlite_query.h"

namespace velquor::server {

using namespace sqlite_rows;

support::Result<StoreOutcome> SqliteAccountStore::addUser(std::string_view name,
                                                          const PasswordHash& hash) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(
            insert, "INSERT INTO accounts(name, salt, iterations, digest) VALUES(?1, ?2, ?3, ?4)");
        insert->text(name).blob(hash.salt).number(hash.iterations).blob(hash.digest);
        return changed(m_db, insert->step(), m_file);
    });
}

support::Result<StoreOutcome> SqliteAccountStore::deleteUser(std::string_view name) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(revoke,
                      "DELETE FROM grants WHERE account_id IN "
                      "(SELECT id FROM accounts WHERE name = ?1 AND deleted IS NULL)");
        revoke->text(name);
        if (auto outcome = changed(m_db, revoke->step(), m_file); !outcome) return outcome;
        VELQUOR_QUERY(mark,
                      "UPDATE accounts SET deleted = strftime('%Y-%m-%dT%H:%M:%SZ', 'now') "
                      "WHERE name = ?1 AND deleted IS NULL");
        mark->text(name);
        return changed(m_db, mark->step(), m_file);
    });
}

support::Result<StoreOutcome> SqliteAccountStore::setPassword(std::string_view name,
                                                              const PasswordHash& hash,
                                                              std::string_view keepPeer) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(update,
                      "UPDATE accounts SET salt = ?2, iterations = ?3, digest = ?4, "
                      "generation = generation + 1 WHERE name = ?1 AND deleted IS NULL");
        update->text(name).blob(hash.salt).number(hash.iterations).blob(hash.digest);
        auto outcome = changed(m_db, update->step(), m_file);
        if (!outcome || *outcome != StoreOutcome::Done) return outcome;
        VELQUOR_QUERY(revoke,
                      "DELETE FROM grants WHERE peer <> ?2 AND account_id IN "
                      "(SELECT id FROM accounts WHERE name = ?1 AND deleted IS NULL)");
        revoke->text(name).text(keepPeer);
        if (auto revoked = changed(m_db, revoke->step(), m_file); !revoked) return revoked;
        // The address that made the change goes on with the new password's generation.
        VELQUOR_QUERY(keep,
                      "UPDATE grants SET generation = a.generation FROM accounts a "
                      "WHERE a.id = grants.account_id AND a.name = ?1 AND a.deleted IS NULL "
                      "AND grants.peer = ?2");
        keep->text(name).text(keepPeer);
        if (auto kept = changed(m_db, keep->step(), m_file); !kept) return kept;
        return StoreOutcome::Done;
    });
}

support::Status SqliteAccountStore::putUser(std::string_view name, const PasswordHash& hash) {
    auto outcome = setPassword(name, hash, {});
    if (!outcome || *outcome == StoreOutcome::Done) return asStatus(outcome);
    return asStatus(addUser(name, hash));
}

support::Result<std::optional<StoredLogin>> SqliteAccountStore::findLogin(std::string_view name) {
    VELQUOR_QUERY(find,
                  "SELECT salt, iterations, digest, id, generation FROM accounts "
                  "WHERE name = ?1 AND deleted IS NULL");
    find->text(name);
    const int rc = find->step();
    if (rc == SQLITE_DONE) return std::optional<StoredLogin>();
    if (rc != SQLITE_ROW) return sqliteError("cannot read an account");
    StoredLogin login;
    login.hash.salt = columnBytes(find->get(), 0);
    const auto iterations = sqlite3_column_int64(find->get(), 1);
    login.hash.iterations =
        iterations > 0 && iterations <= 0x7fffffff ? static_cast<std::uint32_t>(iterations) : 0;
    login.hash.digest = columnBytes(find->get(), 2);
    login.accountId = sqlite3_column_int64(find->get(), 3);
    login.generation = sqlite3_column_int64(find->get(), 4);
    return std::optional<StoredLogin>(std::move(login));
}

support::Result<bool> SqliteAccountStore::admitLogin(std::string_view name, std::string_view peer,
                                                     const LoginLimits& limits) {
    const long long now = nowMs();
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(prune, "DELETE FROM login_failures WHERE window_start_ms <= ?1");
        prune->number(now - limits.window.count());
        if (auto pruned = changed(m_db, prune->step(), m_file); !pruned) return pruned;
        VELQUOR_QUERY(count,
                      "SELECT coalesce(sum(failures), 0), "
                      "coalesce(sum(CASE WHEN name = ?2 THEN failures END), 0) "
                      "FROM login_failures WHERE peer = ?1");
        count->text(peer).text(name);
        if (count->step() != SQLITE_ROW) return sqliteError("cannot count failed logins");
        const auto ofAddress = sqlite3_column_int64(count->get(), 0);
        const auto ofName = sqlite3_column_int64(count->get(), 1);
        if (ofName >= limits.failuresPerName || ofAddress >= limits.failuresPerAddress) {
            return StoreOutcome::NotFound;
        }
        VELQUOR_QUERY(bump,
                      "INSERT INTO login_failures(name, peer, failures, window_start_ms) "
                      "VALUES(?1, ?2, 1, ?3) "
                      "ON CONFLICT(name, peer) DO UPDATE SET failures = failures + 1");
        bump->text(name).text(peer).number(now);
        return changed(m_db, bump->step(), m_file);
    });
    if (!outcome) return outcome.error();
    return *outcome == StoreOutcome::Done;
}

support::Result<bool> SqliteAccountStore::grantLogin(std::string_view name,
                                                     const StoredLogin& login,
                                                     std::string_view peer,
                                                     std::chrono::milliseconds lifetime) {
    const long long now = nowMs();
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(forgive,
                      "UPDATE login_failures SET failures = failures - 1 "
                      "WHERE name = ?1 AND peer = ?2 AND failures > 0");
        forgive->text(name).text(peer);
        if (auto outcome = changed(m_db, forgive->step(), m_file); !outcome) return outcome;
        VELQUOR_QUERY(prune, "DELETE FROM grants WHERE expires_ms <= ?1");
        prune->number(now);
        if (auto outcome = changed(m_db, prune->step(), m_file); !outcome) return outcome;
        // "WHERE true" keeps SQLite from reading ON CONFLICT as part of the SELECT.
        VELQUOR_QUERY(grant,
                      "INSERT INTO grants(account_id, peer, expires_ms, generation) "
                      "SELECT id, ?2, ?3, generation FROM accounts WHERE id = ?1 "
                      "AND generation = ?4 AND deleted IS NULL "
                      "AND true ON CONFLICT(account_id, peer) "
                      "DO UPDATE SET expires_ms = excluded.expires_ms, "
                      "generation = excluded.generation");
        grant->number(login.accountId)
            .text(peer)
            .number(now + lifetime.count())
            .number(login.generation);
        return changed(m_db, grant->step(), m_file);
    });
    if (!outcome) return outcome.error();
    return *outcome == StoreOutcome::Done;
}

support::Result<bool> SqliteAccountStore::holdsGrant(std::string_view name, std::string_view peer) {
    VELQUOR_QUERY(find,
                  "SELECT 1 FROM grants g JOIN accounts a ON a.id = g.account_id "
                  "WHERE a.name = ?1 AND a.deleted IS NULL AND g.peer = ?2 AND g.expires_ms > ?3 "
                  "AND g.generation = a.generation");
    find->text(name).text(peer).number(nowMs());
    const int rc = find->step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqliteError("cannot read a grant");
    return rc == SQLITE_ROW;
}

support::Result<std::vector<UserRow>> SqliteAccountStore::listUsers() {
    VELQUOR_QUERY(list,
                  "SELECT a.name, a.created, "
                  "(SELECT count(*) FROM devices d WHERE d.account_id = a.id) "
                  "FROM accounts a WHERE a.deleted IS NULL ORDER BY a.name");
    std::vector<UserRow> rows;
    int rc = SQLITE_OK;
    while ((rc = list->step()) == SQLITE_ROW) {
        rows.push_back(UserRow{columnBytes(list->get(), 0), columnBytes(list->get(), 1),
                               sqlite3_column_int64(list->get(), 2)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list accounts");
    return rows;
}

}  // namespace velquor::server
