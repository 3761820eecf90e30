// Reading registrations back from the PostgreSQL store: an account's devices a page at a time
// (over the (account_id, mac) index), one MAC's registration, and freeing an account's devices.
#include "server/store/postgres/postgres_rows.h"

namespace velquor::server {

using namespace postgres_rows;

namespace {

// Only canonical MACs are listed: a row kept as it was typed before MACs were checked is not
// one a phone asks for ('kestod devices --invalid' shows those).
#define VELQUOR_OWNER_ID \
    "(SELECT id FROM accounts WHERE name = decode($1, 'hex') AND deleted IS NULL)"
#define VELQUOR_CANONICAL_MAC "length(mac) = 12 AND encode(mac, 'escape') ~ '^[0-9a-f]{12}$'"

// One statement, so the page and the total come from one snapshot; a row even when the page
// is empty, its device columns NULL.
const std::string kDevicePageSql =
    std::string(
        "SELECT t.n, encode(p.mac, 'hex'), encode(p.server, 'hex'), "
        "to_char(p.registered AT TIME ZONE 'UTC', ") +
    VELQUOR_ISO_TIME +
    "), " VELQUOR_ASK_COLUMNS
    " FROM (SELECT count(*) AS n FROM devices WHERE account_id = " VELQUOR_OWNER_ID
    " AND " VELQUOR_CANONICAL_MAC
    ") t LEFT JOIN LATERAL (SELECT mac, server, registered FROM devices WHERE account_id "
    "= " VELQUOR_OWNER_ID " AND " VELQUOR_CANONICAL_MAC
    " ORDER BY mac LIMIT $2 OFFSET $3) p ON true "
    "LEFT JOIN phone_asks q ON q.mac = encode(p.mac, 'escape') ORDER BY p.mac";
const PostgresAccountStore::Statement kDevicePage{"kDevicePage", kDevicePageSql.c_str(), false};

const std::string kFindDeviceSql =
    std::string(
        "SELECT $1::text, encode(d.server, 'hex'), encode(a.name, 'hex'), "
        "to_char(d.registered AT TIME ZONE 'UTC', ") +
    VELQUOR_ISO_TIME +
    "), a.id, a.deleted IS NOT NULL, " VELQUOR_ASK_COLUMNS
    " FROM devices d JOIN accounts a ON a.id = d.account_id "
    "LEFT JOIN phone_asks q ON q.mac = encode(decode($1, 'hex'), 'escape') WHERE d.mac = "
    "decode($1, 'hex') OR d.mac IN (SELECT mac FROM spelled_macs "
    "WHERE canonical = decode($1, 'hex')) ORDER BY d.mac <> decode($1, 'hex'), d.mac LIMIT 1";
const PostgresAccountStore::Statement kFindDevice{"kFindDevice", kFindDeviceSql.c_str(), false};

VELQUOR_CHANGE(kRecordAsk,
               "INSERT INTO phone_asks(mac, asked, address, answer) "
               "VALUES($1, $2::timestamptz, $3, $4) "
               "ON CONFLICT (mac) DO UPDATE SET asked = excluded.asked, "
               "address = excluded.address, answer = excluded.answer "
               "WHERE excluded.asked >= phone_asks.asked");

VELQUOR_CHANGE(kReleaseDevicesOf,
               "WITH gone AS (DELETE FROM devices WHERE account_id = " VELQUOR_OWNER_ID
               " RETURNING 1) SELECT count(*) FROM gone");

}  // namespace

support::Result<DevicePage> PostgresAccountStore::devicesOf(std::string_view owner,
                                                            std::uint64_t start,
                                                            std::size_t limit) {
    VELQUOR_RUN(rows, kDevicePage, toHex(owner), std::to_string(limit), std::to_string(start));
    DevicePage page;
    for (int row = 0; row < rows->count(); ++row) {
        page.total = static_cast<std::uint64_t>(rows->number(row, 0));
        if (rows->isNull(row, 1)) continue;
        page.rows.push_back(DeviceRow{rows->bytes(row, 1), rows->bytes(row, 2), std::string(owner),
                                      rows->text(row, 3), 0, false, rows->ask(row, 4)});
    }
    return page;
}

support::Result<std::optional<DeviceRow>> PostgresAccountStore::findDevice(std::string_view mac) {
    VELQUOR_RUN(rows, kFindDevice, toHex(mac));
    if (rows->count() == 0) return std::optional<DeviceRow>();
    return std::optional<DeviceRow>(
        DeviceRow{rows->bytes(0, 0), rows->bytes(0, 1), rows->bytes(0, 2), rows->text(0, 3),
                  rows->number(0, 4), rows->text(0, 5) == "t", rows->ask(0, 6)});
}

support::Status PostgresAccountStore::recordAsks(const std::vector<MacAsk>& asks) {
    if (asks.empty()) return {};
    auto put = [&](const MacAsk& one) {
        return runOnce(kRecordAsk, {one.mac, one.ask.at, one.ask.from, one.ask.answer});
    };
    auto recorded = inTransaction("BEGIN", [&]() -> support::Result<Rows> {
        for (std::size_t i = 0; i + 1 < asks.size(); ++i) {
            if (auto done = put(asks[i]); !done) return done;
        }
        return put(asks.back());
    });
    if (!recorded) return recorded.error();
    return {};
}

support::Result<std::uint64_t> PostgresAccountStore::releaseDevicesOf(std::string_view owner) {
    VELQUOR_RUN(rows, kReleaseDevicesOf, toHex(owner));
    return static_cast<std::uint64_t>(rows->number(0, 0));
}

}  // namespace velquor::server
