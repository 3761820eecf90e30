// kestod: the reference Kesto provisioning server. Sub-commands: init (make a server folder),
// serve (answer requests), users and devices (list or free what is stored), passwd (set a
// password), migrate (carry a folder's state into PostgreSQL); each answers --help.
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "server/commands/sub_commands.h"
#include "server/serving/kesto_server.h"
#include "support/atomic_file.h"
#include "support/exit_status.h"
#include "support/version.h"
#include "wire/kesto_address.h"

namespace velquor::server {

namespace {

// The defaults the help shows are the ones the server uses.
std::string servingDefaults() {
    const ServeSettings defaults;
    const LoginLimits limits;
    auto number = [](auto value) { return std::to_string(value); };
    return "  --ports LOGIN,ACCOUNT,DEVICE  the three ports; 0 takes any free port (default " +
           number(defaults.ports[0]) + "," + number(defaults.ports[1]) + "," +
           number(defaults.ports[2]) +
           ")\n"
           "  --phone-port N            the phones' port, served while DIR keeps phones' CAs\n"
           "                            (default " +
           number(defaults.phonePort) +
           ")\n"
           "  --deadline-ms N           time from accepting a connection to its reply; a request\n"
           "                            still waiting then is refused, not done (default " +
           number(defaults.connectionDeadline.count()) +
           ")\n"
           "  --handshake-ms N          time for the TLS handshake (default " +
           number(defaults.handshakeDeadline.count()) +
           ")\n"
           "  --grant-ms N              how long a login lets its user make requests from its\n"
           "                            address (default " +
           number(defaults.grantLifetime.count()) +
           ", 30 minutes)\n"
           "  --workers N               threads answering requests (default " +
           number(defaults.workers) +
           ")\n"
           "  --max-connections N       connections open at once on each port (default " +
           number(defaults.maxConnections) +
           ")\n"
           "  --max-per-peer N          connections open at once from one address on each port\n"
           "                            (default " +
           number(defaults.maxConnectionsPerPeer) +
           ")\n"
           "  --max-logins-per-address N  successful logins from one address per minute "
           "(default " +
           number(defaults.maxLoginsPerAddress) +
           ")\n"
           "  --max-failed-logins-per-name N  failed logins to one name from one address in the\n"
           "                            window (default " +
           number(limits.failuresPerName) +
           ")\n"
           "  --max-failed-logins-per-address N  failed logins from one address in the window\n"
           "                            (default " +
           number(limits.failuresPerAddress) +
           ")\n"
           "  --max-failed-logins-per-account N  failed logins to one name per hour from\n"
           "                            addresses that have not logged in as it, besides one\n"
           "                            from each network (default " +
           number(limits.guessesPerHour) +
           ")\n"
           "  --failed-login-window-ms N  the window failed logins are counted in (default " +
           number(limits.window.count()) + ", 5 minutes)\n";
}

const std::string kDatabaseOption =
    "  --database URL            keep the state in this PostgreSQL database (a libpq URL such\n"
    "                            as postgresql:///kesto?host=/run/postgresql) instead of\n"
    "                            DIR/kestod.db; a password goes in a passfile=, never the URL\n";

std::string initHelp() {
    return "usage: kestod init --dir DIR [--database URL] [--address NAME]...\n"
           "                   [--admin-password-file F] [--force] [--pbkdf2-iterations N]\n"
           "                   [--ca-dir CADIR] [--phone-ca FILE]...\n"
           "\n"
           "Makes DIR with a CA, a server certificate for the addresses, DIR/cacert.pem for\n"
           "clients and the database with the administrator account 'chief'.\n"
           "\n"
           "  --dir DIR                 the server folder\n" +
           kDatabaseOption +
           "  --address NAME            an IP address (IPv4 or IPv6) or DNS name clients connect\n"
           "                            to; repeat it or give a comma list for several (default " +
           std::string(wire::kDefaultServerAddress) +
           ")\n"
           "  --admin-password-file F   chief's password, the first line of F (default: one is\n"
           "                            generated and printed once)\n"
           "  --ca-dir CADIR            where the CA's key goes (default DIR/ca); serve does not\n"
           "                            need it\n"
           "  --force                   replace the keys, certificates, chief's password and\n"
           "                            settings of an existing setup; accounts and\n"
           "                            registrations are kept\n"
           "  --pbkdf2-iterations N     iterations of the password hashes (default " +
           std::to_string(kDefaultPbkdf2Iterations) +
           ")\n"
           "  --phone-ca FILE           a CA that phones' factory certificates chain to; repeat\n"
           "                            it for several makers (see kestod phones)\n";
}

std::string serveHelp() {
    return "usage: kestod serve --dir DIR [--database URL] [--address NAME]... [OPTIONS]\n"
           "\n"
           "Answers requests until SIGTERM or SIGINT, which finish the requests in progress\n"
           "and exit with status 0; SIGHUP reads the certificate and key again.\n"
           "\n"
           "  --dir DIR                 the server folder, made by init\n" +
           kDatabaseOption +
           "  --address NAME            an address or name to listen on; repeat it or give a\n"
           "                            comma list (default: the addresses init certified)\n" +
           servingDefaults();
}

std::string usersHelp() {
    return "usage: kestod users (--dir DIR | --database URL)\n"
           "                    [trust NAME ADDR[/LEN] [--days N] [--everywhere]]\n"
           "\n"
           "Lists the accounts: name, creation time, number of devices and, for a name under\n"
           "guessing, its failed logins in the last hour.\n"
           "'trust NAME ADDR[/LEN]' lets NAME's logins from that address or range be checked\n"
           "at once however much the name is being guessed, for N days (default 7, at most\n"
           "365), with a line in the system log. A range of every address (0.0.0.0/0, ::/0)\n"
           "turns the guessing limit off for NAME: it needs --everywhere, and logs a warning.\n";
}

std::string devicesHelp() {
    return "usage: kestod devices (--dir DIR | --database URL)\n"
           "                      [--invalid | release MAC... | assign MAC USER]\n"
           "\n"
           "Lists the registrations: MAC address (12 lower-case digits), user, server field,\n"
           "time and account. --invalid lists those kept under a text no device record can\n"
           "match (stored before MAC addresses were checked: not a MAC address, or another\n"
           "spelling of a registered device), with the reason.\n"
           "'release MAC...' frees those MAC addresses (any spelling) whoever registered them\n"
           "(the phones of a deleted account, say), with a line in the system log for each; a\n"
           "text that is not a MAC address frees the registration stored under exactly it.\n"
           "A MAC kept only in other spellings (an upgraded database) stays taken until it is\n"
           "released, or given to one user with 'assign MAC USER', which keeps it under its\n"
           "canonical form and drops the other spellings.\n";
}

std::string passwdHelp() {
    return "usage: kestod passwd (--dir DIR | --database URL) NAME --password-file F|-\n"
           "\n"
           "Sets the password of the account NAME (the only way to change chief's) to the first\n"
           "line of F, or of standard input for '-', and ends the account's logins.\n";
}

std::string migrateHelp() {
    return "usage: kestod migrate --dir DIR --to URL\n"
           "\n"
           "Copies DIR's accounts (with their password hashes) and registrations into the empty\n"
           "PostgreSQL database URL, in one transaction.\n";
}

std::string phonesHelp() {
    return "usage: kestod phones --dir DIR [--ca FILE...]\n"
           "\n"
           "Lists the phones' CAs DIR keeps: the CAs that phones' factory certificates chain to.\n"
           "--ca keeps the CA certificates of the files given (PEM, CA certificates only, one\n"
           "file per maker) in place of those kept. While DIR keeps some, serve also answers\n"
           "phones on --phone-port: GET /phone/MAC from a certificate naming MAC is sent to its\n"
           "registered server field (302), else 404; another MAC's certificate or none: 403.\n"
           "A running serve takes new CAs at SIGHUP.\n";
}

std::string synopsis() {
    return "usage:\n"
           "  kestod init --dir DIR [--database URL] [--address NAME]... [--admin-password-file "
           "F]\n"
           "              [--force] [--pbkdf2-iterations N] [--ca-dir CADIR] [--phone-ca FILE]...\n"
           "  kestod serve --dir DIR [--database URL] [--address NAME]... [OPTIONS]\n"
           "  kestod users (--dir DIR | --database URL) [trust NAME ADDR[/LEN] [--days N]\n"
           "               [--everywhere]]\n"
           "  kestod devices (--dir DIR | --database URL) [--invalid | release MAC... | assign MAC "
           "USER]\n"
           "  kestod passwd (--dir DIR | --database URL) NAME --password-file F|-\n"
           "  kestod migrate --dir DIR --to URL\n"
           "  kestod phones --dir DIR [--ca FILE...]\n"
           "  kestod COMMAND --help\n"
           "  kestod --version\n";
}

std::string generalHelp() {
    return synopsis() +
           "\n"
           "The options of serve, with their defaults:\n" +
           servingDefaults() +
           "\n"
           "Exit status: 0 done (also serve stopped by a signal), 1 the work failed, 2 the\n"
           "command line is wrong, 130 interrupted. 'man kestod' tells the rest.\n";
}

struct SubCommand {
    std::string_view name;
    int (*run)(const std::vector<std::string>&);
    std::string (*help)();
};

constexpr SubCommand kSubCommands[] = {
    {"init", runInitCommand, initHelp},       {"serve", runServeCommand, serveHelp},
    {"users", runUsersCommand, usersHelp},    {"devices", runDevicesCommand, devicesHelp},
    {"passwd", runPasswdCommand, passwdHelp}, {"migrate", runMigrateCommand, migrateHelp},
    {"phones", runPhonesCommand, phonesHelp},
};

bool asksForHelp(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--") return false;
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

}  // namespace

int reportFailure(const support::Error& error) {
    std::cerr << "kestod: " << error.message << '\n';
    if (error.code == support::ErrorCode::Usage) {
        std::cerr << synopsis();
    }
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
        if (command != subCommand.name) continue;
        if (server::asksForHelp(rest)) {
            std::cout << subCommand.help();
            return support::kExitOk;
        }
        return subCommand.run(rest);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        for (const auto& subCommand : server::kSubCommands) {
            if (rest.size() == 1 && rest[0] == subCommand.name) {
                std::cout << subCommand.help();
                return support::kExitOk;
            }
        }
        std::cout << server::generalHelp();
        return support::kExitOk;
    }
    if (command == "--version") {
        std::cout << "kestod " << support::kVersion << '\n';
        return support::kExitOk;
    }
    return server::reportFailure(
        support::makeError(support::ErrorCode::Usage, "unknown command '" + command + "'"));
}
