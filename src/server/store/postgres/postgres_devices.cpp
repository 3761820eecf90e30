// Device registrations in the PostgreSQL store.
#include "server/store/postgres/postgres_rows.h"
#include "server/store/stored_macs.h"

namespace velquor::server {

using namespace postgres_rows;

namespace {

// A MAC kept under another spelling is taken: the first column says so, the second whether
// the row was added.
VELQUOR_CHANGE(kAddDevice,
               "WITH spelled AS (SELECT 1 FROM spelled_macs WHERE canonical = decode($1, 'hex') "
               "  LIMIT 1), "
               "added AS (INSERT INTO devices(mac, server, account_id) "
               "  SELECT decode($1, 'hex'), decode($2, 'hex'), id FROM accounts "
               "  WHERE name = decode($3, 'hex') AND deleted IS NULL "
               "  AND NOT EXISTS (SELECT 1 FROM spelled) RETURNING 1) "
               "SELECT (SELECT count(*) FROM spelled), (SELECT count(*) FROM added)");
VELQUOR_CHANGE(kReplaceDevice,
               "UPDATE devices SET server = decode($2, 'hex'), registered = now() "
               "WHERE mac = decode($1, 'hex') AND account_id = (SELECT id FROM accounts "
               "WHERE name = decode($3, 'hex') AND deleted IS NULL)");
VELQUOR_CHANGE(kDeleteDevice,
               "DELETE FROM devices WHERE mac = decode($1, 'hex') AND account_id = "
               "(SELECT id FROM accounts WHERE name = decode($2, 'hex') AND deleted IS NULL)");
VELQUOR_CHANGE(kReleaseDevice,
               "WITH gone AS (DELETE FROM devices WHERE mac = decode($1, 'hex') OR mac IN "
               "  (SELECT mac FROM spelled_macs WHERE canonical = decode($1, 'hex')) "
               "  RETURNING mac, server, account_id, registered) "
               "SELECT encode(g.mac, 'hex'), encode(g.server, 'hex'), encode(a.name, 'hex'), "
               "to_char(g.registered AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
               "a.id, a.deleted IS NOT NULL FROM gone g JOIN accounts a ON a.id = g.account_id "
               "ORDER BY g.mac <> decode($1, 'hex'), g.mac");

const std::string kListDevicesSql =
    std::string(
        "SELECT encode(d.mac, 'hex'), encode(d.server, 'hex'), encode(a.name, 'hex'), "
        "to_char(d.registered AT TIME ZONE 'UTC', ") +
    VELQUOR_ISO_TIME +
    "), a.id, a.deleted IS NOT NULL, " VELQUOR_ASK_COLUMNS
    " FROM devices d JOIN accounts a ON a.id = d.account_id "
    "LEFT JOIN phone_asks q ON q.mac = encode(d.mac, 'escape') ORDER BY a.name, a.id, d.mac";
const PostgresAccountStore::Statement kListDevices{"kListDevices", kListDevicesSql.c_str(), false};

VELQUOR_STATEMENT(kStoredMacs, "SELECT encode(mac, 'hex') FROM devices");
// The canonical row, if there is one, changes hands; else the first spelling's server text
// moves to a new canonical row. Either way the other spellings go.
VELQUOR_CHANGE(kAssignDevice,
               "WITH owner AS (SELECT id FROM accounts WHERE name = decode($2, 'hex') "
               "  AND deleted IS NULL), "
               "spelled AS (DELETE FROM devices WHERE mac IN (SELECT mac FROM spelled_macs "
               "  WHERE canonical = decode($1, 'hex')) AND EXISTS (SELECT 1 FROM owner) "
               "  RETURNING mac, server), "
               "moved AS (UPDATE devices SET account_id = (SELECT id FROM owner) "
               "  WHERE mac = decode($1, 'hex') AND EXISTS (SELECT 1 FROM owner) RETURNING 1), "
               "added AS (INSERT INTO devices(mac, server, account_id) "
               "  SELECT decode($1, 'hex'), (SELECT server FROM spelled ORDER BY mac LIMIT 1), "
               "  (SELECT id FROM owner) WHERE NOT EXISTS (SELECT 1 FROM moved) "
               "  AND EXISTS (SELECT 1 FROM spelled) RETURNING 1) "
               "SELECT (SELECT count(*) FROM moved) + (SELECT count(*) FROM added)");
VELQUOR_STATEMENT(kNoteSpelledMac,
                  "INSERT INTO spelled_macs(mac, canonical) VALUES(decode($1, 'hex'), "
                  "decode($2, 'hex'))");
VELQUOR_STATEMENT(kRenameMac,
                  "UPDATE devices SET mac = decode($1, 'hex') WHERE mac = decode($2, 'hex')");

}  // namespace

support::Result<std::vector<std::string>> PostgresAccountStore::storedMacs() {
    auto rows = runOnce(kStoredMacs, {});
    if (!rows) return rows.error();
    std::vector<std::string> stored;
    for (int row = 0; row < rows->count(); ++row) stored.push_back(rows->bytes(row, 0));
    return stored;
}

support::Status PostgresAccountStore::canonicaliseDeviceMacs() {
    auto read = storedMacs();
    if (!read) return read.error();
    const auto& stored = *read;
    for (const MacRename& rename : canonicalRenames(stored)) {
        auto renamed = runOnce(kRenameMac, {toHex(rename.canonical), toHex(stored[rename.index])});
        if (!renamed) return renamed.error();
    }
    return {};
}

support::Status PostgresAccountStore::noteSpelledMacs() {
    auto stored = storedMacs();
    if (!stored) return stored.error();
    for (const SpelledMac& spelled : spelledMacs(*stored)) {
        auto noted = runOnce(kNoteSpelledMac, {toHex(spelled.stored), toHex(spelled.canonical)});
        if (!noted) return noted.error();
    }
    return {};
}

support::Result<StoreOutcome> PostgresAccountStore::addDevice(std::string_view mac,
                                                              std::string_view serverText,
                                                              std::string_view owner) {
    VELQUOR_RUN(rows, kAddDevice, toHex(mac), toHex(serverText), toHex(owner));
    if (rows->duplicate() || rows->number(0, 0) > 0) return StoreOutcome::Exists;
    return rows->number(0, 1) > 0 ? StoreOutcome::Done : StoreOutcome::NotFound;
}

support::Result<StoreOutcome> PostgresAccountStore::replaceDevice(std::string_view mac,
                                                                  std::string_view serverText,
                                                                  std::string_view owner) {
    return change(kReplaceDevice, {toHex(mac), toHex(serverText), toHex(owner)});
}

support::Result<StoreOutcome> PostgresAccountStore::deleteDevice(std::string_view mac,
                                                                 std::string_view owner) {
    return change(kDeleteDevice, {toHex(mac), toHex(owner)});
}

support::Result<std::optional<DeviceRow>> PostgresAccountStore::releaseDevice(
    std::string_view mac) {
    VELQUOR_RUN(rows, kReleaseDevice, toHex(mac));
    if (rows->count() == 0) return std::optional<DeviceRow>();
    return std::optional<DeviceRow>(DeviceRow{rows->bytes(0, 0),
                                              rows->bytes(0, 1),
                                              rows->bytes(0, 2),
                                              rows->text(0, 3),
                                              rows->number(0, 4),
                                              rows->text(0, 5) == "t",
                                              {}});
}

support::Result<StoreOutcome> PostgresAccountStore::assignDevice(std::string_view mac,
                                                                 std::string_view owner) {
    VELQUOR_RUN(rows, kAssignDevice, toHex(mac), toHex(owner));
    return rows->number(0, 0) > 0 ? StoreOutcome::Done : StoreOutcome::NotFound;
}

support::Result<std::vector<DeviceRow>> PostgresAccountStore::listDevices() {
    auto rows = run(kListDevices, {});
    if (!rows) return rows.error();
    std::vector<DeviceRow> devices;
    for (int row = 0; row < rows->count(); ++row) {
        devices.push_back(DeviceRow{rows->bytes(row, 0), rows->bytes(row, 1), rows->bytes(row, 2),
                                    rows->text(row, 3), rows->number(row, 4),
                                    rows->text(row, 5) == "t", rows->ask(row, 6)});
    }
    return devices;
}

}  // namespace velquor::server
