// Accounts, logins, grants and failed-login counts in the PostgreSQL store.
#include <cstdint>

#include "net/address_range.h"
#include "server/store/postgres/postgres_rows.h"

namespace velquor::server {

using namespace postgres_rows;

namespace {

VELQUOR_CHANGE(kAddUser,
               "INSERT INTO accounts(name, salt, iterations, digest) "
               "VALUES(decode($1, 'hex'), decode($2, 'hex'), $3::integer, decode($4, 'hex'))");
VELQUOR_CHANGE(kDeleteUser,
               "WITH gone AS (UPDATE accounts SET deleted = now() "
               "  WHERE name = decode($1, 'hex') AND deleted IS NULL RETURNING id), "
               "ended AS (DELETE FROM grants WHERE account_id IN (SELECT id FROM gone)) "
               "SELECT count(*) FROM gone");
// The grant of the address that made the change is carried to the new generation; the
// sub-statements see one snapshot, so the generation is computed, not read back.
VELQUOR_CHANGE(kSetPassword,
               "WITH changed AS (UPDATE accounts SET salt = decode($2, 'hex'), "
               "  iterations = $3::integer, digest = decode($4, 'hex'), "
               "  generation = generation + 1 "
               "  WHERE name = decode($1, 'hex') AND deleted IS NULL RETURNING id, generation), "
               "ended AS (DELETE FROM grants "
               "  WHERE account_id IN (SELECT id FROM changed) AND peer <> $5), "
               "kept AS (UPDATE grants g SET generation = c.generation FROM changed c "
               "  WHERE g.account_id = c.id AND g.peer = $5) "
               "SELECT count(*) FROM changed");
VELQUOR_STATEMENT(kFindLogin,
                  "SELECT encode(salt, 'hex'), iterations, encode(digest, 'hex'), id, generation "
                  "FROM accounts WHERE name = decode($1, 'hex') AND deleted IS NULL");
// What decideLogin needs, read under the locks the transaction began with.
#define VELQUOR_SINCE(moment) \
    "coalesce(extract(epoch FROM clock_timestamp() - " moment ") * 1000, 0)::bigint"
VELQUOR_STATEMENT(
    kLoginCounts,
    "WITH f AS (SELECT coalesce(sum(failures), 0) AS of_group, "
    "  coalesce(sum(failures) FILTER (WHERE name = decode($1, 'hex')), 0) AS of_name "
    "  FROM login_failures WHERE peer = $2), "
    "g AS (SELECT count(*) AS guesses, count(DISTINCT network) AS networks, "
    "  count(*) FILTER (WHERE network = $4) AS here, " VELQUOR_SINCE("min(checked)") " AS oldest, "
    VELQUOR_SINCE("max(checked)") " AS latest FROM guesses WHERE name = decode($1, 'hex') "
    "  AND checked > clock_timestamp() - $6::bigint * interval '1 millisecond') "
    "SELECT f.of_group, f.of_name, EXISTS(SELECT 1 FROM known_peers k JOIN accounts a "
    "  ON a.id = k.account_id WHERE a.name = decode($1, 'hex') AND a.deleted IS NULL "
    "  AND k.peer = $3 AND k.last_login > clock_timestamp() - $5::bigint * interval '1 millisecond'), "
    "(SELECT coalesce(string_agg(t.addresses, ' '), '') FROM trusted_ranges t "
    "  JOIN accounts a ON a.id = t.account_id WHERE a.name = decode($1, 'hex') "
    "  AND a.deleted IS NULL AND t.until > clock_timestamp()), "
    "g.guesses, g.networks, g.here, g.oldest, g.latest FROM f, g");
VELQUOR_CHANGE(kRecordCheck,
               "WITH failure AS (INSERT INTO login_failures(name, peer, failures, window_start) "
               "  VALUES (decode($1, 'hex'), $2, 1, clock_timestamp()) ON CONFLICT (name, peer) "
               "  DO UPDATE SET failures = login_failures.failures + 1) "
               "INSERT INTO guesses(name, network, checked) "
               "SELECT decode($1, 'hex'), $3, clock_timestamp() WHERE $4::boolean");
// Expired grants of the account are swept here; other addresses' rows only, so the sweep
// never touches the row the insert below may update.
VELQUOR_CHANGE(kGrantLogin,
               "WITH forgiven AS (UPDATE login_failures SET failures = failures - 1 "
               "  WHERE name = decode($1, 'hex') AND peer = $6 AND failures > 0), "
               "unguessed AS (DELETE FROM guesses WHERE ctid = (SELECT ctid FROM guesses "
               "  WHERE $7::boolean AND name = decode($1, 'hex') AND network = $8 "
               "  ORDER BY checked DESC LIMIT 1)), "
               "account AS (SELECT id, generation FROM accounts "
               "  WHERE id = $4::bigint AND generation = $5::bigint AND deleted IS NULL "
               "  FOR SHARE), "
               "swept AS (DELETE FROM grants WHERE account_id IN (SELECT id FROM account) "
               "  AND peer <> $2 AND expires <= clock_timestamp()), "
               "known AS (INSERT INTO known_peers(account_id, peer, last_login) "
               "  SELECT id, $2, clock_timestamp() FROM account ON CONFLICT (account_id, peer) "
               "  DO UPDATE SET last_login = excluded.last_login) "
               "INSERT INTO grants(account_id, peer, expires, generation) "
               "SELECT id, $2, clock_timestamp() + $3::bigint * interval '1 millisecond', "
               "generation FROM account ON CONFLICT (account_id, peer) "
               "DO UPDATE SET expires = excluded.expires, generation = excluded.generation");
VELQUOR_CHANGE(kTrustAddresses,
               "INSERT INTO trusted_ranges(account_id, addresses, until) "
               "SELECT id, $2, clock_timestamp() + $3::bigint * interval '1 millisecond' "
               "FROM accounts WHERE name = decode($1, 'hex') AND deleted IS NULL "
               "ON CONFLICT (account_id, addresses) DO UPDATE SET until = excluded.until");
VELQUOR_STATEMENT(kHoldsGrant,
                  "SELECT 1 FROM grants g JOIN accounts a ON a.id = g.account_id "
                  "WHERE a.name = decode($1, 'hex') AND a.deleted IS NULL AND g.peer = $2 "
                  "AND g.expires > clock_timestamp() AND g.generation = a.generation");

const std::string kListUsersSql =
    std::string("SELECT encode(a.name, 'hex'), to_char(a.created AT TIME ZONE 'UTC', ") +
    VELQUOR_ISO_TIME +
    "), (SELECT count(*) FROM devices d WHERE d.account_id = a.id), "
    "count(g.name), count(DISTINCT g.network), " VELQUOR_SINCE("min(g.checked)") ", "
    VELQUOR_SINCE("max(g.checked)") " FROM accounts a LEFT JOIN guesses g ON g.name = a.name "
    "AND g.checked > clock_timestamp() - $1::bigint * interval '1 millisecond' "
    "WHERE a.deleted IS NULL GROUP BY a.id ORDER BY a.name";
const PostgresAccountStore::Statement kListUsers{"kListUsers", kListUsersSql.c_str(), false};

// A lock key for the advisory locks: the same on every instance, whatever its build.
std::string lockKey(std::string_view kind, std::string_view value) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : std::string(kind) + ':' + std::string(value)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return std::to_string(static_cast<std::int64_t>(hash));
}

}  // namespace

support::Result<StoreOutcome> PostgresAccountStore::addUser(std::string_view name,
                                                            const PasswordHash& hash) {
    return change(kAddUser, {toHex(name), toHex(hash.salt), std::to_string(hash.iterations),
                             toHex(hash.digest)});
}

support::Result<StoreOutcome> PostgresAccountStore::deleteUser(std::string_view name) {
    VELQUOR_RUN(rows, kDeleteUser, toHex(name));
    return countedOutcome(rows->number(0, 0));
}

support::Result<StoreOutcome> PostgresAccountStore::setPassword(std::string_view name,
                                                                const PasswordHash& hash,
                                                                std::string_view keepPeer) {
    VELQUOR_RUN(rows, kSetPassword, toHex(name), toHex(hash.salt), std::to_string(hash.iterations),
                toHex(hash.digest), std::string(keepPeer));
    return countedOutcome(rows->number(0, 0));
}

support::Status PostgresAccountStore::putUser(std::string_view name, const PasswordHash& hash) {
    auto outcome = setPassword(name, hash, {});
    if (!outcome) return outcome.error();
    if (*outcome == StoreOutcome::Done) return {};
    auto added = addUser(name, hash);
    if (!added) return added.error();
    return {};
}

support::Result<std::optional<StoredLogin>> PostgresAccountStore::findLogin(std::string_view name) {
    VELQUOR_RUN(rows, kFindLogin, toHex(name));
    if (rows->count() == 0) return std::optional<StoredLogin>();
    StoredLogin login;
    login.hash.salt = rows->bytes(0, 0);
    const long long iterations = rows->number(0, 1);
    login.hash.iterations =
        iterations > 0 && iterations <= 0x7fffffff ? static_cast<std::uint32_t>(iterations) : 0;
    login.hash.digest = rows->bytes(0, 2);
    login.accountId = rows->number(0, 3);
    login.generation = rows->number(0, 4);
    return std::optional<StoredLogin>(std::move(login));
}

support::Result<LoginAdmission> PostgresAccountStore::admitLogin(std::string_view name,
                                                                 std::string_view peer,
                                                                 std::string_view peerGroup,
                                                                 const LoginLimits& limits) {
    const auto ms = [](std::chrono::milliseconds value) { return std::to_string(value.count()); };
    const std::string network = net::addressNetworkText(peer);
    // Attempts from one address group, and attempts at one name, pass one at a time on every
    // instance: each reads what the one before it recorded. Old guesses are swept a few at a
    // time, skipping rows another sweep holds (the counts read only the hour's). The keys and
    // times are numbers, so the text can carry them.
    const std::string begin =
        "BEGIN; SELECT pg_advisory_xact_lock(" + lockKey("group", peerGroup) +
        "); SELECT pg_advisory_xact_lock(" + lockKey("name", name) +
        "); DELETE FROM login_failures WHERE window_start <= clock_timestamp() - " +
        ms(limits.window) +
        " * interval '1 millisecond'; DELETE FROM guesses WHERE ctid IN (SELECT ctid FROM guesses "
        "WHERE checked <= clock_timestamp() - " +
        ms(limits.guessingHour()) + " * interval '1 millisecond' LIMIT 100 FOR UPDATE SKIP LOCKED)";
    LoginAdmission admission;
    auto recorded = inTransaction(begin, [&]() -> support::Result<Rows> {
        auto rows =
            runOnce(kLoginCounts, {toHex(name), std::string(peerGroup), std::string(peer), network,
                                   ms(limits.knownAddressFor), ms(limits.guessingHour())});
        if (!rows) return rows;
        if (rows->count() != 1) {
            return support::makeError(support::ErrorCode::Io, "database: no counts for a login");
        }
        GuessingCounts counts;
        counts.ofGroup = rows->number(0, 0);
        counts.ofNameAtGroup = rows->number(0, 1);
        counts.trusted = rows->text(0, 2) == "t" || net::inAnyRange(rows->text(0, 3), peer);
        counts.tally = {rows->number(0, 4), rows->number(0, 5),
                        std::chrono::milliseconds(rows->number(0, 7)),
                        std::chrono::milliseconds(rows->number(0, 8))};
        counts.fromNetwork = rows->number(0, 6);
        admission = admissionFor(counts, limits);
        if (admission.decision.verdict != LoginVerdict::Check) return rows;
        return runOnce(kRecordCheck, {toHex(name), std::string(peerGroup), network,
                                      admission.decision.guess ? "true" : "false"});
    });
    if (!recorded) return recorded.error();
    return admission;
}

support::Result<bool> PostgresAccountStore::grantLogin(std::string_view name,
                                                       const StoredLogin& login,
                                                       std::string_view peer,
                                                       std::string_view peerGroup, bool guessed,
                                                       std::chrono::milliseconds lifetime) {
    VELQUOR_RUN(rows, kGrantLogin, toHex(name), std::string(peer), std::to_string(lifetime.count()),
                std::to_string(login.accountId), std::to_string(login.generation),
                std::string(peerGroup), guessed ? "true" : "false", net::addressNetworkText(peer));
    return rows->affected() > 0;
}

support::Result<StoreOutcome> PostgresAccountStore::trustAddresses(
    std::string_view name, std::string_view range, std::chrono::milliseconds lifetime) {
    return change(kTrustAddresses,
                  {toHex(name), std::string(range), std::to_string(lifetime.count())});
}

support::Result<bool> PostgresAccountStore::holdsGrant(std::string_view name,
                                                       std::string_view peer) {
    VELQUOR_RUN(rows, kHoldsGrant, toHex(name), std::string(peer));
    return rows->count() > 0;
}

support::Result<std::vector<UserRow>> PostgresAccountStore::listUsers(const LoginLimits& limits) {
    auto rows = run(kListUsers, {std::to_string(limits.guessingHour().count())});
    if (!rows) return rows.error();
    std::vector<UserRow> users;
    for (int row = 0; row < rows->count(); ++row) {
        users.push_back(userRowFor(rows->bytes(row, 0), rows->text(row, 1), rows->number(row, 2),
                                   {rows->number(row, 3), rows->number(row, 4),
                                    std::chrono::milliseconds(rows->number(row, 5)),
                                    std::chrono::milliseconds(rows->number(row, 6))},
                                   limits));
    }
    return users;
}

}  // namespace velquor::server
