// Accounts, logins, grants and failed-login counts in the PostgreSQL store.
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
VELQUOR_CHANGE(kAdmitLogin,
               "SELECT verdict, failures, addresses FROM kestod_admit_account_login("
               "decode($1, 'hex'), $2, $3, $4::integer, $5::integer, $6::integer, $7::bigint, "
               "$8::bigint, $9::bigint, $10::bigint, $11::bigint)");
// Expired grants of the account are swept here; other addresses' rows only, so the sweep
// never touches the row the insert below may update.
VELQUOR_CHANGE(kGrantLogin,
               "WITH forgiven AS (UPDATE login_failures SET failures = failures - 1 "
               "  WHERE name = decode($1, 'hex') AND peer = $6 AND failures > 0), "
               "forgiven_account AS (UPDATE account_guard SET failures = failures - 1 "
               "  WHERE name = decode($1, 'hex') AND failures > 0), "
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
VELQUOR_STATEMENT(kHoldsGrant,
                  "SELECT 1 FROM grants g JOIN accounts a ON a.id = g.account_id "
                  "WHERE a.name = decode($1, 'hex') AND a.deleted IS NULL AND g.peer = $2 "
                  "AND g.expires > clock_timestamp() AND g.generation = a.generation");

const std::string kListUsersSql =
    std::string("SELECT encode(a.name, 'hex'), to_char(a.created AT TIME ZONE 'UTC', ") +
    VELQUOR_ISO_TIME +
    "), (SELECT count(*) FROM devices d WHERE d.account_id = a.id), "
    "coalesce(g.failures, 0), coalesce(g.next_check > clock_timestamp(), false) "
    "FROM accounts a LEFT JOIN account_guard g ON g.name = a.name "
    "WHERE a.deleted IS NULL ORDER BY a.name";
const PostgresAccountStore::Statement kListUsers{"kListUsers", kListUsersSql.c_str(), false};

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
    VELQUOR_RUN(rows, kAdmitLogin, toHex(name), std::string(peer), std::string(peerGroup),
                std::to_string(limits.failuresPerName), std::to_string(limits.failuresPerAddress),
                std::to_string(limits.failuresPerAccount), ms(limits.window),
                ms(limits.accountMemory()), ms(limits.knownAddressFor), ms(limits.holdAfter(1)),
                ms(limits.holdAfter(1'000)));
    if (rows->count() != 1) {
        return support::makeError(support::ErrorCode::Io, "database: no verdict on a login");
    }
    LoginAdmission admission;
    const std::string verdict = rows->text(0, 0);
    using Verdict = LoginAdmission::Verdict;
    admission.verdict = verdict == "name-at-address" ? Verdict::NameAtAddress
                        : verdict == "address"       ? Verdict::Address
                        : verdict == "account"       ? Verdict::Account
                                                     : Verdict::Admitted;
    admission.passedAccountLimit = verdict == "passed";
    admission.accountFailures = rows->number(0, 1);
    admission.addresses = rows->number(0, 2);
    return admission;
}

support::Result<bool> PostgresAccountStore::grantLogin(std::string_view name,
                                                       const StoredLogin& login,
                                                       std::string_view peer,
                                                       std::string_view peerGroup,
                                                       std::chrono::milliseconds lifetime) {
    VELQUOR_RUN(rows, kGrantLogin, toHex(name), std::string(peer), std::to_string(lifetime.count()),
                std::to_string(login.accountId), std::to_string(login.generation),
                std::string(peerGroup));
    return rows->affected() > 0;
}

support::Result<bool> PostgresAccountStore::holdsGrant(std::string_view name,
                                                       std::string_view peer) {
    VELQUOR_RUN(rows, kHoldsGrant, toHex(name), std::string(peer));
    return rows->count() > 0;
}

support::Result<std::vector<UserRow>> PostgresAccountStore::listUsers() {
    auto rows = run(kListUsers, {});
    if (!rows) return rows.error();
    std::vector<UserRow> users;
    for (int row = 0; row < rows->count(); ++row) {
        users.push_back(UserRow{rows->bytes(row, 0), rows->text(row, 1), rows->number(row, 2),
                                rows->number(row, 3), rows->text(row, 4) == "t"});
    }
    return users;
}

}  // namespace velquor::server
