// The choice between kestod's stores; see account_store.h.
#include "server/account_store.h"

#include "server/server_files.h"
#include "server/sqlite_account_store.h"

namespace velquor::server {

support::Result<std::unique_ptr<AccountStore>> openAccountStore(const StoreLocation& location,
                                                                AccountStore::OpenMode mode) {
    if (!location.databaseUrl.empty()) {
        return support::makeError(support::ErrorCode::Unsupported,
                                  "this kestod keeps its state in " +
                                      serverFilesIn(location.folder).database.string() +
                                      " only; --database is not available");
    }
    auto store = SqliteAccountStore::open(serverFilesIn(location.folder).database, mode);
    if (!store) return store.error();
    return std::unique_ptr<AccountStore>(std::move(*store));
}

}  // namespace velquor::server
