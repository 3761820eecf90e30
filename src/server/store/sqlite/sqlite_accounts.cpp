// Accounts, logins, grants and failed-login counts in the SQLite store.
#include "net/address_range.h"
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
    const std::string network = net::addressNetworkText(peer);
    LoginAdmission admission;
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(prune, "DELETE FROM login_failures WHERE window_start_ms <= ?1");
        prune->number(now - limits.window.count());
        if (auto pruned = changed(m_db, prune->step(), m_file); !pruned) return pruned;
        VELQUOR_QUERY(forget, "DELETE FROM guesses WHERE checked_ms <= ?1");
        forget->number(now - limits.guessingHour().count());
        if (auto forgotten = changed(m_db, forget->step(), m_file); !forgotten) return forgotten;
        VELQUOR_QUERY(count,
                      "SELECT coalesce(sum(failures), 0), "
                      "coalesce(sum(CASE WHEN name = ?2 THEN failures END), 0) "
                      "FROM login_failures WHERE peer = ?1");
        count->text(peerGroup).text(name);
        if (count->step() != SQLITE_ROW) return sqliteError("cannot count failed logins");
        GuessingCounts counts;
        counts.ofGroup = sqlite3_column_int64(count->get(), 0);
        counts.ofNameAtGroup = sqlite3_column_int64(count->get(), 1);
        VELQUOR_QUERY(trust,
                      "SELECT EXISTS(SELECT 1 FROM known_peers k JOIN accounts a "
                      "ON a.id = k.account_id WHERE a.name = ?1 AND a.deleted IS NULL "
                      "AND k.peer = ?2 AND k.last_login_ms > ?3), "
                      "(SELECT coalesce(group_concat(t.addresses, ' '), '') FROM trusted_ranges t "
                      "JOIN accounts a ON a.id = t.account_id WHERE a.name = ?1 "
                      "AND a.deleted IS NULL AND t.until_ms > ?4)");
        trust->text(name).text(peer).number(now - limits.knownAddressFor.count()).number(now);
        if (trust->step() != SQLITE_ROW) return sqliteError("cannot read known addresses");
        counts.trusted = sqlite3_column_int(trust->get(), 0) != 0 ||
                         net::inAnyRange(columnBytes(trust->get(), 1), peer);
        VELQUOR_QUERY(guessed,
                      "SELECT count(*), count(DISTINCT network), "
                      "coalesce(sum(network = ?2), 0), ?3 - coalesce(min(checked_ms), ?3), "
                      "?3 - coalesce(max(checked_ms), ?3) FROM guesses WHERE name = ?1");
        guessed->text(name).text(network).number(now);
        if (guessed->step() != SQLITE_ROW) return sqliteError("cannot count guesses");
        counts.tally = {sqlite3_column_int64(guessed->get(), 0),
                        sqlite3_column_int64(guessed->get(), 1),
                        std::chrono::milliseconds(sqlite3_column_int64(guessed->get(), 3)),
                        std::chrono::milliseconds(sqlite3_column_int64(guessed->get(), 4))};
        counts.fromNetwork = sqlite3_column_int64(guessed->get(), 2);
        admission = admissionFor(counts, limits);
        if (admission.decision.verdict != LoginVerdict::Check) return StoreOutcome::NotFound;
        VELQUOR_QUERY(bump,
                      "INSERT INTO login_failures(name, peer, failures, window_start_ms) "
                      "VALUES(?1, ?2, 1, ?3) "
                      "ON CONFLICT(name, peer) DO UPDATE SET failures = failures + 1");
        bump->text(name).text(peerGroup).number(now);
        if (auto bumped = changed(m_db, bump->step(), m_file); !bumped) return bumped;
        if (!admission.decision.guess) return StoreOutcome::Done;
        VELQUOR_QUERY(note, "INSERT INTO guesses(name, network, checked_ms) VALUES(?1, ?2, ?3)");
        note->text(name).text(network).number(now);
        return changed(m_db, note->step(), m_file);
    });
    if (!outcome) return outcome.error();
    return admission;
}

support::Result<bool> SqliteAccountStore::grantLogin(std::string_view name,
                                                     const StoredLogin& login,
                                                     std::string_view peer,
                                                     std::string_view peerGroup, bool guessed,
                                                     std::chrono::milliseconds lifetime) {
    const long long now = nowMs();
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(forgive,
                      "UPDATE login_failures SET failures = failures - 1 "
                      "WHERE name = ?1 AND peer = ?2 AND failures > 0");
        forgive->text(name).text(peerGroup);
        if (auto outcome = changed(m_db, forgive->step(), m_file); !outcome) return outcome;
        if (guessed) {
            VELQUOR_QUERY(unguess,
                          "DELETE FROM guesses WHERE rowid = (SELECT rowid FROM guesses "
                          "WHERE name = ?1 AND network = ?2 ORDER BY checked_ms DESC LIMIT 1)");
            unguess->text(name).text(net::addressNetworkText(peer));
            if (auto outcome = changed(m_db, unguess->step(), m_file); !outcome) return outcome;
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

support::Result<StoreOutcome> SqliteAccountStore::trustAddresses(
    std::string_view name, std::string_view range, std::chrono::milliseconds lifetime) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(trust,
                      "INSERT INTO trusted_ranges(account_id, addresses, until_ms) "
                      "SELECT id, ?2, ?3 FROM accounts WHERE name = ?1 AND deleted IS NULL "
                      "AND true ON CONFLICT(account_id, addresses) "
                      "DO UPDATE SET until_ms = excluded.until_ms");
        trust->text(name).text(range).number(nowMs() + lifetime.count());
        return changed(m_db, trust->step(), m_file);
    });
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

support::Result<std::vector<UserRow>> SqliteAccountStore::listUsers(const LoginLimits& limits) {
    const long long now = nowMs();
    VELQUOR_QUERY(list,
                  "SELECT a.name, a.created, "
                  "(SELECT count(*) FROM devices d WHERE d.account_id = a.id), "
                  "count(g.name), count(DISTINCT g.network), ?1 - coalesce(min(g.checked_ms), ?1), "
                  "?1 - coalesce(max(g.checked_ms), ?1) FROM accounts a "
                  "LEFT JOIN guesses g ON g.name = a.name AND g.checked_ms > ?2 "
                  "WHERE a.deleted IS NULL GROUP BY a.id ORDER BY a.name");
    list->number(now).number(now - limits.guessingHour().count());
    std::vector<UserRow> rows;
    int rc = SQLITE_OK;
    while ((rc = list->step()) == SQLITE_ROW) {
        sqlite3_stmt* row = list->get();
        rows.push_back(userRowFor(columnBytes(row, 0), columnBytes(row, 1),
                                  sqlite3_column_int64(row, 2),
                                  {sqlite3_column_int64(row, 3), sqlite3_column_int64(row, 4),
                                   std::chrono::milliseconds(sqlite3_column_int64(row, 5)),
                                   std::chrono::milliseconds(sqlite3_column_int64(row, 6))},
                                  limits));
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list accounts");
    return rows;
}

}  // namespace velquor::server
