// The choice between kestod's stores; see account_store.h.
#include "server/account_store.h"

#include <algorithm>
#include <cstdint>

#include "server/postgres_account_store.h"
#include "server/server_files.h"
#include "server/sqlite_account_store.h"

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

std::chrono::milliseconds LoginLimits::holdAfter(long long excess) const {
    const auto first = std::max(window / 150, std::chrono::milliseconds(1));
    const auto longest = std::max(window / 5, first);
    const auto doublings = std::clamp<long long>(excess - 1, 0, 20);
    return std::min(longest, first * (std::int64_t{1} << doublings));
}

}  // namespace velquor::server
