// kestod: the reference Kesto provisioning server. Sub-commands: init (make a server folder),
// serve (answer requests), users and devices (list what is stored), passwd (set a password),
// migrate (carry a folder's state into PostgreSQL).
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "server/kestod_commands.h"
#include "support/atomic_file.h"
#include "support/exit_status.h"
#include "support/version.h"
#include "wire/kesto_address.h"

namespace velquor::server {

namespace {

void printUsage(std::ostream& out) {
    out << "usage:\n"
           "  kestod init --dir DIR [--database URL] [--address A] [--admin-password-file F]\n"
           "              [--force] [--pbkdf2-iterations N]\n"
           "  kestod serve --dir DIR [--database URL] [--address A] [--ports "
           "LOGIN,ACCOUNT,DEVICE]\n"
           "              [--deadline-ms N] [--grant-ms N] [--workers N] [--max-connections N]\n"
           "              [--max-per-peer N] [--max-failed-logins-per-name N]\n"
           "              [--max-failed-logins-per-address N] [--failed-login-window-ms N]\n"
           "  kestod users --dir DIR | --database URL\n"
           "  kestod devices --dir DIR | --database URL\n"
           "  kestod passwd (--dir DIR | --database URL) NAME --password-file F|-\n"
           "  kestod migrate --dir DIR --to URL\n"
           "  kestod --version\n"
           "\n"
           "init makes DIR with a CA, a server certificate for the address (default "
        << wire::kDefaultServerAddress
        << "),\n"
           "DIR/cacert.pem for clients and the database with the administrator account "
           "'chief'. Its\n"
           "password is read from F (first line), or generated and printed once. --force "
           "replaces the\n"
           "keys and certificates of an existing DIR and resets chief's password; accounts and\n"
           "registrations are kept. serve stops cleanly, with status 0, on SIGTERM or SIGINT.\n"
           "passwd sets an account's password (the only way to change chief's) from the first\n"
           "line of F, or of standard input for '-', and ends the account's current logins.\n"
           "State is kept in DIR/kestod.db (SQLite), or with --database in a PostgreSQL database\n"
           "(a libpq URL such as postgresql:///kesto?host=/run/postgresql) that several serve\n"
           "instances may share; keys and certificates stay in DIR. migrate copies DIR's\n"
           "accounts and registrations into an empty PostgreSQL database.\n";
}

struct SubCommand {
    std::string_view name;
    int (*run)(const std::vector<std::string>&);
};

constexpr SubCommand kSubCommands[] = {
    {"init", runInitCommand},       {"serve", runServeCommand},   {"users", runUsersCommand},
    {"devices", runDevicesCommand}, {"passwd", runPasswdCommand}, {"migrate", runMigrateCommand},
};

}  // namespace

int reportFailure(const support::Error& error) {
    std::cerr << "kestod: " << error.message << '\n';
    if (error.code == support::ErrorCode::Usage) printUsage(std::cerr);
    return support::exitStatusFor(error.code);
}

}  // namespace velquor::server

int main(int argc, char** argv) {
    using namespace velquor;
    support::ignoreFileSizeSignal();
    if (argc < 2) {
        return server::reportFailure(
            support::makeError(support::ErrorCode::Usage, "a command is needed"));
    }
    const std::string command = argv[1];
    const std::vector<std::string> rest(argv + 2, argv + argc);
    for (const auto& subCommand : server::kSubCommands) {
        if (command == subCommand.name) return subCommand.run(rest);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        server::printUsage(std::cout);
        return support::kExitOk;
    }
    if (command == "--version") {
        std::cout << "kestod " << support::kVersion << '\n';
        return support::kExitOk;
    }
    return server::reportFailure(
        support::makeError(support::ErrorCode::Usage, "unknown command '" + command + "'"));
}
