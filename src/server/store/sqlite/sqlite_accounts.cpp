// Accounts, logins, grants and failed-login counts in the SQLite store.
#include "server/store/sqlite/sqlite_query.h"

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

support::Result<LoginAdmission> SqliteAccountStore::admitLogin(std::string_view name,
                                                               std::string_view peer,
                                                               std::string_view peerGroup,
                                                               const LoginLimits& limits) {
    const long long now = nowMs();
    LoginAdmission admission;
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(prune, "DELETE FROM login_failures WHERE window_start_ms <= ?1");
        prune->number(now - limits.window.count());
        if (auto pruned = changed(m_db, prune->step(), m_file); !pruned) return pruned;
        VELQUOR_QUERY(forget, "DELETE FROM account_guard WHERE last_failure_ms <= ?1");
        forget->number(now - limits.accountMemory().count());
        if (auto forgotten = changed(m_db, forget->step(), m_file); !forgotten) return forgotten;
        VELQUOR_QUERY(count,
                      "SELECT coalesce(sum(failures), 0), "
                      "coalesce(sum(CASE WHEN name = ?2 THEN failures END), 0) "
                      "FROM login_failures WHERE peer = ?1");
        count->text(peerGroup).text(name);
        if (count->step() != SQLITE_ROW) return sqliteError("cannot count failed logins");
        const auto ofAddress = sqlite3_column_int64(count->get(), 0);
        const auto ofName = sqlite3_column_int64(count->get(), 1);
        if (ofName >= limits.failuresPerName) {
            admission.verdict = LoginAdmission::Verdict::NameAtAddress;
            return StoreOutcome::NotFound;
        }
        if (ofAddress >= limits.failuresPerAddress) {
            admission.verdict = LoginAdmission::Verdict::Address;
            return StoreOutcome::NotFound;
        }
        VELQUOR_QUERY(guard,
                      "SELECT g.failures, g.next_check_ms, EXISTS(SELECT 1 FROM known_peers k "
                      "JOIN accounts a ON a.id = k.account_id WHERE a.name = ?1 "
                      "AND a.deleted IS NULL AND k.peer = ?2 AND k.last_login_ms > ?3) "
                      "FROM (SELECT ?1 AS name) n LEFT JOIN account_guard g ON g.name = n.name");
        guard->text(name).text(peer).number(now - limits.knownAddressFor.count());
        if (guard->step() != SQLITE_ROW) return sqliteError("cannot read failed logins");
        const auto failures = sqlite3_column_int64(guard->get(), 0);
        const auto nextCheck = sqlite3_column_int64(guard->get(), 1);
        const bool known = sqlite3_column_int(guard->get(), 2) != 0;
        const bool guarded = limits.failuresPerAccount > 0;
        if (guarded && !known && failures >= limits.failuresPerAccount && now < nextCheck) {
            admission.verdict = LoginAdmission::Verdict::Account;
            admission.accountFailures = failures;
            return StoreOutcome::NotFound;
        }
        VELQUOR_QUERY(bump,
                      "INSERT INTO login_failures(name, peer, failures, window_start_ms) "
                      "VALUES(?1, ?2, 1, ?3) "
                      "ON CONFLICT(name, peer) DO UPDATE SET failures = failures + 1");
        bump->text(name).text(peerGroup).number(now);
        if (auto bumped = changed(m_db, bump->step(), m_file); !bumped) return bumped;
        // Counted before the password is checked: the next attempt of the name waits for the
        // hold even while this one is being checked.
        const long long counted = failures + 1;
        const long long excess = counted - limits.failuresPerAccount;
        const long long holdUntil = excess > 0 ? now + limits.holdAfter(excess).count() : 0;
        VELQUOR_QUERY(note,
                      "INSERT INTO account_guard(name, failures, last_failure_ms, next_check_ms) "
                      "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(name) DO UPDATE SET "
                      "failures = excluded.failures, last_failure_ms = excluded.last_failure_ms, "
                      "next_check_ms = excluded.next_check_ms");
        note->text(name).number(counted).number(now).number(holdUntil);
        if (auto noted = changed(m_db, note->step(), m_file); !noted) return noted;
        admission.accountFailures = counted;
        admission.passedAccountLimit = guarded && counted == limits.failuresPerAccount;
        VELQUOR_QUERY(spread, "SELECT count(DISTINCT peer) FROM login_failures WHERE name = ?1");
        spread->text(name);
        if (spread->step() != SQLITE_ROW) return sqliteError("cannot count failed logins");
        admission.addresses = sqlite3_column_int64(spread->get(), 0);
        return StoreOutcome::Done;
    });
    if (!outcome) return outcome.error();
    return admission;
}

support::Result<bool> SqliteAccountStore::grantLogin(std::string_view name,
                                                     const StoredLogin& login,
                                                     std::string_view peer,
                                                     std::string_view peerGroup,
                                                     std::chrono::milliseconds lifetime) {
    const long long now = nowMs();
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(forgive,
                      "UPDATE login_failures SET failures = failures - 1 "
                      "WHERE name = ?1 AND peer = ?2 AND failures > 0");
        forgive->text(name).text(peerGroup);
        if (auto outcome = changed(m_db, forgive->step(), m_file); !outcome) return outcome;
        VELQUOR_QUERY(forgiveAccount,
                      "UPDATE account_guard SET failures = failures - 1 "
                      "WHERE name = ?1 AND failures > 0");
        forgiveAccount->text(name);
        if (auto outcome = changed(m_db, forgiveAccount->step(), m_file); !outcome) {
            return outcome;
        }
        VELQUOR_QUERY(known,
                      "INSERT INTO known_peers(account_id, peer, last_login_ms) "
                      "SELECT id, ?2, ?3 FROM accounts WHERE id = ?1 AND deleted IS NULL "
                      "AND true ON CONFLICT(account_id, peer) "
                      "DO UPDATE SET last_login_ms = excluded.last_login_ms");
        known->number(login.accountId).text(peer).number(now);
        if (auto outcome = changed(m_db, known->step(), m_file); !outcome) return outcome;
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
                  "(SELECT count(*) FROM devices d WHERE d.account_id = a.id), "
                  "coalesce(g.failures, 0), coalesce(g.next_check_ms, 0) > ?1 "
                  "FROM accounts a LEFT JOIN account_guard g ON g.name = a.name "
                  "WHERE a.deleted IS NULL ORDER BY a.name");
    list->number(nowMs());
    std::vector<UserRow> rows;
    int rc = SQLITE_OK;
    while ((rc = list->step()) == SQLITE_ROW) {
        rows.push_back(UserRow{columnBytes(list->get(), 0), columnBytes(list->get(), 1),
                               sqlite3_column_int64(list->get(), 2),
                               sqlite3_column_int64(list->get(), 3),
                               sqlite3_column_int(list->get(), 4) != 0});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list accounts");
    return rows;
}

}  // namespace velquor::server
