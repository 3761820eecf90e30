// Reading registrations back from the SQLite store: an account's devices a page at a time
// (over the (account_id, mac) index), one MAC's registration, and freeing an account's devices.
#include "server/store/sqlite/sqlite_query.h"

namespace velquor::server {

using namespace sqlite_rows;

namespace {

// Only canonical MACs are listed: a row kept as it was typed before MACs were checked is not
// one a phone asks for ('kestod devices --invalid' shows those).
#define VELQUOR_CANONICAL_MAC "length(mac) = 12 AND mac NOT GLOB '*[^0-9a-f]*'"

// One statement, so the page and the total come from one snapshot; a row even when the page
// is empty, its device columns NULL.
constexpr const char* kDevicePageSql =
    "SELECT (SELECT count(*) FROM devices WHERE account_id = (SELECT id FROM accounts WHERE "
    "name = ?1 AND deleted IS NULL) AND " VELQUOR_CANONICAL_MAC
    "), p.mac, p.server, p.registered, " VELQUOR_ASK_COLUMNS
    " FROM (SELECT 1) LEFT JOIN (SELECT mac, server, registered "
    "FROM devices WHERE account_id = (SELECT id FROM accounts WHERE name = ?1 AND deleted IS "
    "NULL) AND " VELQUOR_CANONICAL_MAC
    " ORDER BY mac LIMIT ?2 OFFSET ?3) p "
    "LEFT JOIN phone_asks q ON q.mac = p.mac ORDER BY p.mac";

}  // namespace

support::Result<DevicePage> SqliteAccountStore::devicesOf(std::string_view owner,
                                                          std::uint64_t start, std::size_t limit) {
    VELQUOR_QUERY(page, kDevicePageSql);
    page->text(owner).number(static_cast<long long>(limit)).number(static_cast<long long>(start));
    DevicePage result;
    int rc = SQLITE_OK;
    while ((rc = page->step()) == SQLITE_ROW) {
        result.total = static_cast<std::uint64_t>(sqlite3_column_int64(page->get(), 0));
        if (sqlite3_column_type(page->get(), 1) == SQLITE_NULL) continue;
        result.rows.push_back(DeviceRow{columnBytes(page->get(), 1), columnBytes(page->get(), 2),
                                        std::string(owner), columnBytes(page->get(), 3), 0, false,
                                        askFrom(page->get(), 4)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list an account's devices");
    return result;
}

support::Result<std::optional<DeviceRow>> SqliteAccountStore::findDevice(std::string_view mac) {
    // The MAC itself, or else the first of the spellings it is kept under, listed as the MAC.
    VELQUOR_QUERY(find,
                  "SELECT ?1, d.server, a.name, d.registered, a.id, a.deleted IS NOT "
                  "NULL, " VELQUOR_ASK_COLUMNS
                  " FROM devices d JOIN accounts a ON a.id = d.account_id "
                  "LEFT JOIN phone_asks q ON q.mac = ?1 WHERE d.mac = ?1 "
                  "OR d.mac IN (SELECT mac FROM spelled_macs WHERE canonical = ?1) "
                  "ORDER BY d.mac <> ?1, d.mac LIMIT 1");
    find->text(mac);
    const int rc = find->step();
    if (rc == SQLITE_DONE) return std::optional<DeviceRow>();
    if (rc != SQLITE_ROW) return sqliteError("cannot read a device");
    return std::optional<DeviceRow>(DeviceRow{
        columnBytes(find->get(), 0), columnBytes(find->get(), 1), columnBytes(find->get(), 2),
        columnBytes(find->get(), 3), sqlite3_column_int64(find->get(), 4),
        sqlite3_column_int(find->get(), 5) != 0, askFrom(find->get(), 6)});
}

support::Status SqliteAccountStore::recordAsks(const std::vector<MacAsk>& asks) {
    return asStatus(transaction([&]() -> support::Result<StoreOutcome> {
        for (const auto& [mac, ask] : asks) {
            VELQUOR_QUERY(put,
                          "INSERT INTO phone_asks(mac, asked, address, answer) "
                          "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(mac) DO UPDATE SET "
                          "asked = excluded.asked, address = excluded.address, "
                          "answer = excluded.answer WHERE excluded.asked >= phone_asks.asked");
            put->text(mac).text(ask.at).text(ask.from).text(ask.answer);
            if (auto done = changed(m_db, put->step(), m_file); !done) return done;
        }
        return StoreOutcome::Done;
    }));
}

support::Result<std::uint64_t> SqliteAccountStore::releaseDevicesOf(std::string_view owner) {
    std::uint64_t freed = 0;
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(remove,
                      "DELETE FROM devices WHERE account_id = "
                      "(SELECT id FROM accounts WHERE name = ?1 AND deleted IS NULL)");
        remove->text(owner);
        auto done = changed(m_db, remove->step(), m_file);
        freed = static_cast<std::uint64_t>(sqlite3_changes(m_db));
        return done;
    });
    if (!outcome) return outcome.error();
    return *outcome == StoreOutcome::Done ? freed : 0;
}

}  // namespace velquor::server
