// The choice between kestod's stores; see account_store.h.
#include "server/store/account_store.h"

#include <ctime>

#include "server/store/postgres/postgres_account_store.h"
#include "server/store/sqlite/sqlite_account_store.h"
#include "server/tls/server_folder.h"

namespace velquor::server {

LoginAdmission admissionFor(const GuessingCounts& counts, const LoginLimits& limits) {
    LoginAdmission admission{decideLogin(counts, limits), counts.tally.guesses,
                             counts.tally.networks};
    if (admission.decision.guess) {
        ++admission.guesses;
        if (counts.fromNetwork == 0) ++admission.networks;
    }
    return admission;
}

UserRow userRowFor(std::string name, std::string created, long long devices,
                   const GuessTally& guesses, const LoginLimits& limits) {
    const GuessingCounts fromAGuessingNetwork{0, 0, false, guesses, 1};
    return UserRow{std::move(name), std::move(created), devices, guesses.guesses,
                   decideLogin(fromAGuessingNetwork, limits).verdict == LoginVerdict::Account};
}

std::string askedText(const PhoneAsk& ask) {
    if (ask.at.empty()) return "never";
    return ask.at + " from " + ask.from + ": " + ask.answer;
}

std::string askTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text, length);
}

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
