// 'kestod migrate': carries a server folder's SQLite state — settings, accounts with their
// password hashes, deleted accounts, registrations and who made them — into an empty
// PostgreSQL database, in one transaction. Logins in progress are not carried: users log in
// again on the instances of the new database.
#include <iostream>

#include "server/commands/command_line.h"
#include "server/commands/sub_commands.h"
#include "server/store/postgres/postgres_account_store.h"
#include "server/store/sqlite/sqlite_account_store.h"
#include "server/tls/server_folder.h"
#include "support/exit_status.h"

namespace velquor::server {

int runMigrateCommand(const std::vector<std::string>& args) {
    auto options = parseMigrateOptions(args);
    if (!options) return reportFailure(options.error());
    auto source = SqliteAccountStore::open(serverFilesIn(options->folder).database,
                                           AccountStore::OpenMode::MustExist);
    if (!source) return reportFailure(source.error());
    auto snapshot = (*source)->exportSnapshot();
    if (!snapshot) return reportFailure(snapshot.error());
    auto target =
        PostgresAccountStore::open(options->databaseUrl, AccountStore::OpenMode::CreateIfMissing);
    if (!target) return reportFailure(target.error());
    if (auto status = (*target)->importSnapshot(*snapshot); !status) {
        return reportFailure(status.error());
    }
    std::cout << "kestod: migrated " << snapshot->accounts.size() << " accounts and "
              << snapshot->devices.size() << " registrations from "
              << serverFilesIn(options->folder).database.string() << '\n';
    return support::kExitOk;
}

}  // namespace velquor::server
