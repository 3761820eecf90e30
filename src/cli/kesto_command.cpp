// velquor-cli kesto: log in to the Kesto provisioning server, then administer users, change the
// password, or register and remove the MAC addresses of a spreadsheet.
#include <iostream>
#include <memory>
#include <optional>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "cli/kesto_devices.h"
#include "cli/secret_input.h"
#include "mac/file_name.h"
#include "mac/mac_address.h"
#include "provisioning/device_inventory.h"
#include "provisioning/kesto_operations.h"
#include "settings/kesto_settings.h"

namespace velquor::cli {
namespace {

using provisioning::KestoEndpoint;
using support::ErrorCode;
using support::makeError;

constexpr const char* kUsage =
    "kesto [--address HOST] [--ports L,A,D] [--cafile F] --user NAME [--password-file F|-]\n"
    "      [-v] COMMAND\n"
    "commands (each logs in first):\n"
    "  login                                   print the role: administrator or operator\n"
    "  user add NAME [--new-password-file F|-] add a user (as chief)\n"
    "  user del NAME [--free-devices]          delete a user (as chief), freeing its devices\n"
    "  passwd [--new-password-file F|-]        change the password of --user\n"
    "  device add MACFILE [--column A]|--mac MAC...|--retry REPORT --server-field TEXT\n"
    "             [--replace ask|all|none] [--report FILE.csv|FILE.xlsx] [--jobs N]\n"
    "             [--mac-form F] [--check] [--force] [--allow-empty-server]\n"
    "  device del MACFILE [--column A]|--mac MAC...|--retry REPORT --server-field TEXT\n"
    "             [--report FILE.csv|FILE.xlsx] [--jobs N] [--mac-form F] [--check] [--force]\n"
    "             [--allow-empty-server]\n"
    "  device list [--csv FILE|-]              the user's devices, their server text and date\n"
    "  device check FILE [--column A]|--mac MAC... [--csv FILE|-]\n"
    "                                          each MAC registered to the user, not\n"
    "                                          registered, or registered to another account\n"
    "                                          (exit status 0 only when every one is the user's)\n"
    "  device check FILE [--column A] --out DIR [--key-file F|--key-env N|--key T]\n"
    "             [--csv FILE|-] [--report FILE.csv|FILE.xlsx] [--jobs N] [--http-cafile F]\n"
    "             [--file-name PATTERN] [--fetch-log FILE]\n"
    "                                          each phone's file fetched from its server text\n"
    "                                          as the phone will and compared with DIR's;\n"
    "                                          one row per phone (exit status 0 only when\n"
    "                                          every phone is ready)\n"
    "--mac (repeatable; spaces, commas or semicolons also separate): MAC addresses typed\n"
    "instead of a file. --retry REPORT: the rows of an earlier --report that failed, are\n"
    "unknown or were not sent, each under its row, but for those whose retry column says no\n"
    "(the server answered them for good; write yes there to send one all the same);\n"
    "--report then writes the whole report with those rows brought up to date (it may name\n"
    "REPORT itself).\n"
    "--column A (any column's letters): only that column of FILE from row 2 on, as Generate\n"
    "reads its device sheet, so Add registers exactly the phones Generate wrote.\n"
    "--report: one line per MAC cell, as CSV or, for a name ending in .xlsx, as a workbook\n"
    "of text cells.\n"
    "Every cell of MACFILE is checked before the first record: a header cell and a MAC seen\n"
    "before (in any spelling) are skipped, a cell that is not a MAC address is refused (exit\n"
    "status 1); a file whose cells are mostly not MAC addresses sends nothing unless --force.\n"
    "--check checks the file alone (no login, nothing sent; exit status 0 when every cell can\n"
    "be used): the first five cells of each finding are named, the rest counted, and --report\n"
    "lists every cell. --mac-form plain|lower|upper|as-written writes the MAC field (default:\n"
    "the [devices] mac-form setting, else plain). An empty --server-field is refused unless\n"
    "--allow-empty-server; one that is not a URL is warned about.\n"
    "device check --out: a phone is ready when its file, fetched from its server text joined\n"
    "with its file name, is the one DIR holds (DIR/en/NAME when DIR has en/; with a key, one\n"
    "that decrypts to DIR/NAME); otherwise the row says the first problem and what to do.\n"
    "--jobs bounds the fetches in flight (default 64); --http-cafile: the CA certificates an\n"
    "https server text is checked against (default: the system's). The files are named as\n"
    "Generate names them (--file-name, else the [devices] file-name setting: {mac}.xml);\n"
    "--fetch-log: the log of velquor-cli serve: when each phone fetched its file, or the name\n"
    "it asked for that is not there, or why it was refused. A sheet row that is no MAC\n"
    "address is a row with its reason.\n"
    "-v (--verbose): the connection's low-level diagnostics on standard error.\n"
    "--jobs: device requests in flight at once, 1-64 (default 16); 1 sends one at a time.\n"
    "--address (or --host) HOST: a host name, an IPv4 or an IPv6 address; --ports, --cafile,\n"
    "--connect-timeout S, --exchange-timeout S and --jobs override the [kesto] settings of\n"
    "~/.config/velquor/velquor.conf and /etc/velquor/velquor.conf ('velquor-cli settings').\n"
    "Without ca-file: ./cacert.pem, then cacert.pem in those two folders.\n"
    "A server that does not answer stops a device batch with status 1; the rows not sent\n"
    "are \"not sent\" in the report. When the server no longer knows the login (it restarted,\n"
    "the login expired) the batch logs in again with the password read again from\n"
    "--password-file, or standard input redirected from a file; otherwise it stops with\n"
    "status 1 and the rows not done \"not sent\" (--retry finishes them).\n"
    "Passwords: a file's first line; '-' reads the next line of standard input; without a file\n"
    "the password is asked on the terminal without echo.";

// A password from --*-password-file (see readSecretFile); without the option, asked on the
// terminal without echo, twice for a new password.
support::Result<std::string> readPassword(const std::optional<std::string>& source,
                                          std::string_view what, bool confirm) {
    if (source) return readSecretFile(*source, what);
    auto first = askSecret(std::string(what) + ": ");
    if (!first && first.error().code == ErrorCode::Unsupported) {
        return makeError(ErrorCode::InvalidInput, "no terminal to ask for the " +
                                                      std::string(what) +
                                                      "; give it with a password file option");
    }
    if (!first || !confirm) return first;
    auto second = askSecret("Confirm: ");
    if (!second) return second;
    if (*second != *first) {
        return makeError(ErrorCode::InvalidInput, "the two passwords typed differ");
    }
    return first;
}

// The settings files under the command line's options: where the server is and how long to
// wait for it. A file's unknown keys are warned about once.
support::Result<settings::LoadedSettings> settingsFrom(const support::ArgParser& args) {
    auto commandLine = settings::valuesFromOptions(
        [&args](const std::string& option) { return args.value(option); });
    if (!commandLine) return commandLine.error();
    auto loaded = settings::loadSettings(*commandLine);
    if (!loaded) return loaded.error();
    for (const auto& warning : settings::unseenWarnings(loaded->warnings)) {
        printError("warning: " + warning);
    }
    return loaded;
}

// How the phones' files are named: --file-name, else the [devices] file-name setting.
support::Result<mac::FileNamePattern> fileNamePattern(const support::ArgParser& args,
                                                      const mac::FileNamePattern& setting) {
    if (const auto option = args.value("--file-name")) return mac::FileNamePattern::parse(*option);
    return setting;
}

// The reporter has already shown the product's text with the reason.
int failWithReason(const support::Error& error) {
    return support::exitStatusFor(error.code);
}

struct Context {
    const support::ArgParser& args;
    KestoEndpoint endpoint;
    std::size_t jobs;
    std::string userName;
    StderrReporter reporter;
    mac::Form macForm = mac::kDefaultForm;
};

// Before a user is deleted, chief hears how many devices it holds: they stay registered to the
// deleted account unless --free-devices frees them first. A server that does not list devices
// is no reason not to delete.
support::Status offerDevicesOf(Context& context, const std::string& user) {
    auto count =
        provisioning::accountDeviceCount(context.endpoint, provisioning::kAdministratorName, user);
    if (!count || *count == 0) return {};
    printError(provisioning::registeredDevicesText(user, *count));
    if (!context.args.has("--free-devices")) {
        printError("they stay registered to the deleted account; --free-devices frees them first");
        return {};
    }
    if (auto freed = provisioning::freeAccountDevices(context.endpoint,
                                                      provisioning::kAdministratorName, user);
        !freed) {
        return freed;
    }
    printError("freed " + std::to_string(*count) + " devices of " + user);
    return {};
}

int runUserCommand(Context& context, const std::vector<std::string>& words) {
    support::Status status;
    if (words[1] == "add") {
        auto password =
            readPassword(context.args.value("--new-password-file"), "new user's password", true);
        if (!password) return failWith(password.error());
        status = provisioning::addUser(context.endpoint, words[2], *password, *password,
                                       context.reporter);
    } else {
        if (auto freed = offerDevicesOf(context, words[2]); !freed) return failWith(freed.error());
        status = provisioning::deleteUser(context.endpoint, words[2], "", context.reporter);
    }
    return status ? kExitOk : failWithReason(status.error());
}

int runPasswdCommand(Context& context) {
    auto password = readPassword(context.args.value("--new-password-file"), "new password", true);
    if (!password) return failWith(password.error());
    auto status = provisioning::changePassword(context.endpoint, context.userName, *password,
                                               *password, context.reporter);
    return status ? kExitOk : failWithReason(status.error());
}

// Everything that can be wrong with the command line is found before the login is sent.
std::optional<std::string> commandLineProblem(const support::ArgParser& args) {
    const auto& words = args.positionals();
    if (words.empty()) return "a command is needed";
    const std::string& command = words[0];
    const bool addOrDel = words.size() == 3 && (words[1] == "add" || words[1] == "del");
    if (command == "login" || command == "passwd") {
        if (words.size() != 1) return command + " takes no arguments";
    } else if (command == "user") {
        if (!addOrDel) return "user needs: add NAME or del NAME";
    } else if (command == "device") {
        if (auto problem = deviceCommandProblem(args)) return problem;
    } else {
        return "unknown kesto command '" + command + "'";
    }
    if (command == "device" && args.has("--check")) return std::nullopt;
    if (!args.value("--user")) return "--user NAME is needed";
    if (command == "passwd" && *args.value("--user") == provisioning::kAdministratorName) {
        // The server refuses it on the wire: anyone sharing the chief's address could use it.
        return "the administrator's password is set on the server: kestod passwd --dir DIR " +
               std::string(provisioning::kAdministratorName) + " --password-file FILE";
    }
    return std::nullopt;
}

// The password once more, for a new login when the server no longer knows the first: from the
// same file, or standard input redirected from one. A password typed or piped in cannot be
// had again, and the batch stops with what it did not send as "not sent".
provisioning::LoginEndedQuestion loginAgainFrom(std::shared_ptr<RereadableSecret> secret) {
    return [secret](const std::string& server) -> std::optional<std::string> {
        const std::string ended = "the login to " + server + " has ended";
        if (!secret || !secret->possible()) {
            printError(ended +
                       " and the password cannot be read again (--password-file FILE "
                       "can be): stopping");
            return std::nullopt;
        }
        auto password = secret->readAgain("password");
        if (!password) {
            printError(ended + ": " + password.error().message + "; stopping");
            return std::nullopt;
        }
        printError(ended + "; logging in again");
        return std::move(*password);
    };
}

int runKesto(const std::vector<std::string>& arguments) {
    support::ArgParser args(
        withKeyOptions({"--address",
                        "--host",
                        "--ports",
                        "--cafile",
                        "--connect-timeout",
                        "--exchange-timeout",
                        "--jobs",
                        "--user",
                        "--password-file",
                        "--new-password-file",
                        "--server-field",
                        "--replace",
                        "--report",
                        "--mac",
                        "--csv",
                        "--mac-form",
                        "--retry",
                        "--column",
                        "--out",
                        "--http-cafile",
                        "--fetch-log",
                        "--file-name"}),
        {"--free-devices", "--verbose", "--check", "--force", "--allow-empty-server"},
        {{"-v", "--verbose"}});
    if (auto parsed = args.parse(arguments); !parsed)
        return usageError("kesto", parsed.error().message);
    // Standard output is for results: the channel's diagnostic lines go to standard error,
    // and only when asked for.
    provisioning::setDiagnosticStream(args.has("--verbose") ? stderr : nullptr);
    if (auto problem = commandLineProblem(args)) return usageError("kesto", *problem);
    const auto& words = args.positionals();
    const std::string& command = words[0];
    const auto userName = args.value("--user");
    auto loaded = settingsFrom(args);
    if (!loaded) {
        if (loaded.error().code == ErrorCode::Usage) {
            return usageError("kesto", loaded.error().message);
        }
        return failWith(loaded.error());
    }
    const mac::Form macForm = loaded->effective.macForm.value;
    DeviceSource source;
    if (command == "device") {
        auto pattern = fileNamePattern(args, loaded->effective.fileName.value);
        if (!pattern) return usageError("kesto", "--file-name: " + pattern.error().message);
        auto read = readDeviceSource(args, macForm, *pattern);
        if (!read && read.error().code == ErrorCode::Usage) {
            return usageError("kesto", read.error().message);
        }
        if (!read) return failWith(read.error());
        source = std::move(*read);
        if (args.has("--check")) return checkDeviceSource(args, source, macForm);
        // Nothing is sent: done (0) when no row is left undone, 1 when rows refused for good
        // stay failed, as the batch that wrote the report ended.
        if (source.retry && source.retry->retried == 0) {
            const bool failedForGood = source.retry->keptCount > 0;
            std::cerr << "nothing to retry, nothing sent: no row of " << *args.value("--retry")
                      << (failedForGood ? " that failed, is unknown or was not sent can change "
                                          "by sending it again\n"
                                        : " failed, is unknown or was not sent\n");
            return failedForGood ? kExitFailure : kExitOk;
        }
    }

    const auto passwordFile = args.value("--password-file");
    auto secret = passwordFile ? std::make_shared<RereadableSecret>(*passwordFile) : nullptr;
    auto password = readPassword(passwordFile, "password", false);
    if (!password) return failWith(password.error());

    Context context{args,
                    provisioning::endpointFromSettings(loaded->effective),
                    loaded->effective.jobs.value,
                    *userName,
                    {},
                    macForm};
    provisioning::LoginRefusals refusals;
    auto role = provisioning::login(context.endpoint, *userName, *password, context.reporter,
                                    interruptToken(), &refusals);
    if (!role) return failWithReason(role.error());

    if (command == "login") {
        std::cout << (*role == provisioning::KestoRole::UserAdministration ? "administrator"
                                                                           : "operator")
                  << '\n';
        return kExitOk;
    }
    if (command == "user") return runUserCommand(context, words);
    if (command == "passwd") return runPasswdCommand(context);
    const DeviceSession session{context.endpoint, context.userName, context.jobs, macForm,
                                loginAgainFrom(secret)};
    if (words[1] == "list" || words[1] == "check") {
        return runInventoryCommand(args, session, source);
    }
    return runDeviceBatch(args, session, std::move(source));
}

}  // namespace

VELQUOR_REGISTER_COMMAND("kesto", kUsage, "log in to the Kesto server; users, password, devices",
                         runKesto);

}  // namespace velquor::cli
