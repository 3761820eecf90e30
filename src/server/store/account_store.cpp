// The choice between kestod's stores; see account_store.h.
#include "server/store/account_store.h"

#include "server/store/postgres/postgres_account_store.h"
#include "server/store/sqlite/sqlite_account_store.h"
#include "server/tls/server_folder.h"

namespace velquor::server {

support::Result<std::unique_ptr<AccountStore>> openAccountStore(const StoreLocation& location,
                                                                AccountStore::OpenMode mode) {
    if (!location.databaseUrl.empty()) {
        auto store = PostgresAccountStore::open(location.databaseUrl, mode);
        if (!store) return store.error();
        return std::unique_ptr<AccountStore>(std::move(*store));
    }
    auto store = SqliteAccountStore::open(serverFilesIn(location.folder).database, mode);
    if (!store) return store.error();
    return std::unique_ptr<AccountStore>(std::move(*store));
}

}  // namespace velquor::server
