// 'kestod passwd': sets an account's password on the server itself. The administrator's
// password is set only this way, never over the wire; every grant of the account ends.
#include <charconv>
#include <iostream>

#include "server/commands/command_line.h"
#include "server/commands/initialise_folder.h"
#include "server/commands/sub_commands.h"
#include "server/requests/request_log.h"
#include "server/store/account_store.h"
#include "support/exit_status.h"

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

// New hashes take the count the server was set up with.
support::Result<std::uint32_t> hashIterationsOf(AccountStore& store) {
    auto text = store.setting("pbkdf2_iterations");
    if (!text) return text.error();
    if (!text->has_value()) return kDefaultPbkdf2Iterations;
    std::uint32_t count = 0;
    const std::string& value = **text;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (ec != std::errc() || end != value.data() + value.size() || count == 0) {
        return makeError(ErrorCode::InvalidInput,
                         "the database holds an unusable iteration count '" + value + "'");
    }
    return count;
}

support::Status setPassword(const PasswdOptions& options) {
    auto password = readPasswordFileOrInput(options.passwordFile);
    if (!password) return password.error();
    auto store = openAccountStore(options.store, AccountStore::OpenMode::MustExist);
    if (!store) return store.error();
    auto iterations = hashIterationsOf(**store);
    if (!iterations) return iterations.error();
    auto hash = hashPassword(*password, *iterations);
    if (!hash) return hash.error();
    auto outcome = (*store)->setPassword(options.name, *hash, {});
    if (!outcome) return outcome.error();
    if (*outcome != StoreOutcome::Done) {
        return makeError(ErrorCode::NotFound,
                         "there is no account named '" + escapeForLog(options.name) + "'");
    }
    return {};
}

}  // namespace

int runPasswdCommand(const std::vector<std::string>& args) {
    auto options = parsePasswdOptions(args);
    if (!options) return reportFailure(options.error());
    if (auto status = setPassword(*options); !status) return reportFailure(status.error());
    std::cout << "kestod: the password of '" << escapeForLog(options->name)
              << "' is set; its logins so far are ended\n";
    return support::kExitOk;
}

}  // namespace velquor::server
