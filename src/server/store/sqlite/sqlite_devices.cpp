// Device registrations in the SQLite store.
#include "server/store/sqlite/sqlite_query.h"
#include "server/store/stored_macs.h"

namespace velquor::server {

using namespace sqlite_rows;

support::Result<StoreOutcome> SqliteAccountStore::addDevice(std::string_view mac,
                                                            std::string_view serverText,
                                                            std::string_view owner) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(spelled, "SELECT 1 FROM spelled_macs WHERE canonical = ?1");
        spelled->text(mac);
        const int rc = spelled->step();
        if (rc == SQLITE_ROW) return StoreOutcome::Exists;
        if (rc != SQLITE_DONE) return sqliteError("cannot read the spelled MACs");
        VELQUOR_QUERY(insert,
                      "INSERT INTO devices(mac, server, account_id) "
                      "SELECT ?1, ?2, id FROM accounts WHERE name = ?3 AND deleted IS NULL");
        insert->text(mac).text(serverText).text(owner);
        return changed(m_db, insert->step(), m_file);
    });
}

support::Result<StoreOutcome> SqliteAccountStore::replaceDevice(std::string_view mac,
                                                                std::string_view serverText,
                                                                std::string_view owner) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(update,
                      "UPDATE devices SET server = ?2, "
                      "registered = strftime('%Y-%m-%dT%H:%M:%SZ', 'now') WHERE mac = ?1 AND "
                      "account_id = (SELECT id FROM accounts WHERE name = ?3 AND deleted IS NULL)");
        update->text(mac).text(serverText).text(owner);
        return changed(m_db, update->step(), m_file);
    });
}

support::Result<StoreOutcome> SqliteAccountStore::deleteDevice(std::string_view mac,
                                                               std::string_view owner) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(remove,
                      "DELETE FROM devices WHERE mac = ?1 AND account_id = "
                      "(SELECT id FROM accounts WHERE name = ?2 AND deleted IS NULL)");
        remove->text(mac).text(owner);
        return changed(m_db, remove->step(), m_file);
    });
}

support::Result<std::optional<DeviceRow>> SqliteAccountStore::releaseDevice(std::string_view mac) {
    std::optional<DeviceRow> released;
    auto outcome = transaction([&]() -> support::Result<StoreOutcome> {
        // The MAC itself, or else the first of the spellings it is kept under.
        VELQUOR_QUERY(find,
                      "SELECT d.mac, d.server, a.name, d.registered, a.id, a.deleted IS NOT NULL "
                      "FROM devices d JOIN accounts a ON a.id = d.account_id WHERE d.mac = ?1 "
                      "OR d.mac IN (SELECT mac FROM spelled_macs WHERE canonical = ?1) "
                      "ORDER BY d.mac <> ?1, d.mac LIMIT 1");
        find->text(mac);
        const int rc = find->step();
        if (rc == SQLITE_DONE) return StoreOutcome::NotFound;
        if (rc != SQLITE_ROW) return sqliteError("cannot read a device");
        released = DeviceRow{columnBytes(find->get(), 0),
                             columnBytes(find->get(), 1),
                             columnBytes(find->get(), 2),
                             columnBytes(find->get(), 3),
                             sqlite3_column_int64(find->get(), 4),
                             sqlite3_column_int(find->get(), 5) != 0,
                             {}};
        VELQUOR_QUERY(remove,
                      "DELETE FROM devices WHERE mac = ?1 OR mac IN "
                      "(SELECT mac FROM spelled_macs WHERE canonical = ?1)");
        remove->text(mac);
        return changed(m_db, remove->step(), m_file);
    });
    if (!outcome) return outcome.error();
    if (*outcome != StoreOutcome::Done) return std::optional<DeviceRow>();
    return released;
}

support::Result<StoreOutcome> SqliteAccountStore::assignDevice(std::string_view mac,
                                                               std::string_view owner) {
    return transaction([&]() -> support::Result<StoreOutcome> {
        VELQUOR_QUERY(find,
                      "SELECT d.server, a.id FROM devices d, accounts a "
                      "WHERE (d.mac = ?1 OR d.mac IN (SELECT mac FROM spelled_macs "
                      "WHERE canonical = ?1)) AND a.name = ?2 AND a.deleted IS NULL "
                      "ORDER BY d.mac <> ?1, d.mac LIMIT 1");
        find->text(mac).text(owner);
        const int rc = find->step();
        if (rc == SQLITE_DONE) return StoreOutcome::NotFound;
        if (rc != SQLITE_ROW) return sqliteError("cannot read a device");
        const std::string server = columnBytes(find->get(), 0);
        const auto accountId = sqlite3_column_int64(find->get(), 1);
        VELQUOR_QUERY(remove,
                      "DELETE FROM devices WHERE mac = ?1 OR mac IN "
                      "(SELECT mac FROM spelled_macs WHERE canonical = ?1)");
        remove->text(mac);
        if (auto removed = changed(m_db, remove->step(), m_file); !removed) return removed;
        VELQUOR_QUERY(insert, "INSERT INTO devices(mac, server, account_id) VALUES(?1, ?2, ?3)");
        insert->text(mac).text(server).number(accountId);
        return changed(m_db, insert->step(), m_file);
    });
}

support::Result<std::vector<std::string>> SqliteAccountStore::storedMacs() {
    std::vector<std::string> stored;
    VELQUOR_QUERY(list, "SELECT mac FROM devices");
    int rc = SQLITE_OK;
    while ((rc = list->step()) == SQLITE_ROW) stored.push_back(columnBytes(list->get(), 0));
    if (rc != SQLITE_DONE) return sqliteError("cannot read the devices");
    return stored;
}

support::Status SqliteAccountStore::canonicaliseDeviceMacs() {
    auto read = storedMacs();
    if (!read) return read.error();
    const auto& stored = *read;
    for (const MacRename& rename : canonicalRenames(stored)) {
        VELQUOR_QUERY(update, "UPDATE devices SET mac = ?1 WHERE mac = ?2");
        update->text(rename.canonical).text(stored[rename.index]);
        if (update->step() != SQLITE_DONE) return sqliteError("cannot rewrite a device's MAC");
    }
    return {};
}

support::Status SqliteAccountStore::noteSpelledMacs() {
    auto stored = storedMacs();
    if (!stored) return stored.error();
    for (const SpelledMac& spelled : spelledMacs(*stored)) {
        VELQUOR_QUERY(note, "INSERT INTO spelled_macs(mac, canonical) VALUES(?1, ?2)");
        note->text(spelled.stored).text(spelled.canonical);
        if (note->step() != SQLITE_DONE) return sqliteError("cannot note a spelled MAC");
    }
    return {};
}

support::Result<std::vector<DeviceRow>> SqliteAccountStore::listDevices() {
    VELQUOR_QUERY(list,
                  "SELECT d.mac, d.server, a.name, d.registered, a.id, a.deleted IS NOT "
                  "NULL, " VELQUOR_ASK_COLUMNS
                  " FROM devices d JOIN accounts a ON a.id = d.account_id "
                  "LEFT JOIN phone_asks q ON q.mac = d.mac ORDER BY a.name, a.id, d.mac");
    std::vector<DeviceRow> rows;
    int rc = SQLITE_OK;
    while ((rc = list->step()) == SQLITE_ROW) {
        rows.push_back(DeviceRow{columnBytes(list->get(), 0), columnBytes(list->get(), 1),
                                 columnBytes(list->get(), 2), columnBytes(list->get(), 3),
                                 sqlite3_column_int64(list->get(), 4),
                                 sqlite3_column_int(list->get(), 5) != 0, askFrom(list->get(), 6)});
    }
    if (rc != SQLITE_DONE) return sqliteError("cannot list devices");
    return rows;
}

}  // namespace velquor::server
