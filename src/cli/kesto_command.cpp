// velquor-cli kesto: log in to the Kesto provisioning server, then administer users, change the
// password, or register and remove the MAC addresses of a spreadsheet.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "cli/kesto_inventory.h"
#include "cli/secret_input.h"
#include "mac/mac_address.h"
#include "provisioning/device_inventory.h"
#include "provisioning/kesto_operations.h"
#include "report/report_file.h"
#include "settings/kesto_settings.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"

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
    "  device add MACFILE --server-field TEXT [--replace ask|all|none]\n"
    "             [--report FILE.csv|FILE.xlsx] [--jobs N]\n"
    "  device del MACFILE --server-field TEXT [--report FILE.csv|FILE.xlsx]\n"
    "             [--jobs N]\n"
    "--report: one line per MAC cell, as CSV or, for a name ending in .xlsx, as a workbook\n"
    "of text cells.\n"
    "-v (--verbose): the connection's low-level diagnostics on standard error.\n"
    "--jobs: device requests in flight at once, 1-64 (default 16); 1 sends one at a time.\n"
    "--address (or --host) HOST: a host name, an IPv4 or an IPv6 address; --ports, --cafile,\n"
    "--connect-timeout S, --exchange-timeout S and --jobs override the [kesto] settings of\n"
    "~/.config/velquor/velquor.conf and /etc/velquor/velquor.conf ('velquor-cli settings').\n"
    "Without ca-file: ./cacert.pem, then cacert.pem in those two folders.\n"
    "A server that does not answer stops a device batch with status 1; the rows not sent\n"
    "are \"not sent\" in the report.\n"
    "Passwords: a file's first line; '-' reads the next line of standard input; without a file\n"
    "the password is asked on the terminal without echo.";

// The terminal, for questions that must not come from redirected input.
class Terminal {
public:
    Terminal() : m_file(std::fopen("/dev/tty", "r+")) {}
    ~Terminal() {
        if (m_file) std::fclose(m_file);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool available() const { return m_file != nullptr; }

    std::optional<std::string> ask(std::string_view prompt) {
        if (!m_file) return std::nullopt;
        std::fputs(std::string(prompt).c_str(), m_file);
        std::fflush(m_file);
        std::string line;
        int c = 0;
        while ((c = std::fgetc(m_file)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty()) return std::nullopt;
        return line;
    }

private:
    std::FILE* m_file;
};

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

// Asks on the terminal, where the GUI shows Yes / No / Yes to All / No to All.
class TerminalReplaceQuestion {
public:
    provisioning::ReplaceAnswer operator()(const std::string&, const std::string& question) {
        for (;;) {
            auto answer = m_terminal->ask(question + " [y]es, [n]o, [a]ll, n[o]ne: ");
            if (!answer) return provisioning::ReplaceAnswer::NoToAll;
            if (*answer == "y" || *answer == "yes") return provisioning::ReplaceAnswer::Yes;
            if (*answer == "n" || *answer == "no") return provisioning::ReplaceAnswer::No;
            if (*answer == "a" || *answer == "all") return provisioning::ReplaceAnswer::YesToAll;
            if (*answer == "o" || *answer == "none") {
                return provisioning::ReplaceAnswer::NoToAll;
            }
        }
    }

private:
    std::shared_ptr<Terminal> m_terminal = std::make_shared<Terminal>();
};

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

provisioning::ReplaceQuestion replaceQuestionFor(const std::string& replace) {
    if (replace == "all") {
        return [](const std::string&, const std::string&) {
            return provisioning::ReplaceAnswer::YesToAll;
        };
    }
    if (replace == "none") {
        return [](const std::string&, const std::string&) {
            return provisioning::ReplaceAnswer::NoToAll;
        };
    }
    return TerminalReplaceQuestion();
}

int runDeviceCommand(Context& context, const std::vector<std::string>& words) {
    const auto server = context.args.value("--server-field");
    const auto reportPath = context.args.value("--report");
    const auto askReplace = replaceQuestionFor(context.args.value("--replace").value_or("ask"));
    const provisioning::DeviceBatch batch{words[2], *server, context.userName, context.jobs};
    // A script cannot answer Retry: the batch stops, and the report says what was not sent.
    const provisioning::ServerSilentQuestion stopWhenSilent = [](const std::string& address,
                                                                 const std::string& reason) {
        printError(
            provisioning::formatMessage(provisioning::kesto_text::kServerNotAnswering, address) +
            ": " + reason + "; stopping");
        return false;
    };
    TerminalProgress progress;
    auto summary =
        words[1] == "add"
            ? provisioning::addDevices(context.endpoint, batch, askReplace, stopWhenSilent,
                                       context.reporter, progress, interruptToken())
            : provisioning::deleteDevices(context.endpoint, batch, stopWhenSilent, context.reporter,
                                          progress, interruptToken());
    // Already reported: nothing was sent.
    if (!summary) return support::exitStatusFor(summary.error().code);
    // The completion text alone hides declined replacements and empty cells; a shell user
    // still gets the counts.
    if (summary->succeeded() && !summary->complete()) {
        std::cerr << provisioning::describeSummary(*summary) << '\n';
    }
    if (reportPath) {
        if (auto written = report::writeReport(*reportPath, provisioning::resultsTable(*summary));
            !written) {
            return failWith(written.error());
        }
    }
    return batchExitStatus(summary->succeeded(), summary->cancelled);
}

// device list takes nothing more; device check takes its MAC addresses from --mac.
std::optional<std::string> inventoryCommandProblem(const support::ArgParser& args) {
    const auto& words = args.positionals();
    if (words[1] == "list") {
        if (words.size() != 2) return std::string("device list takes no arguments");
        return std::nullopt;
    }
    if (args.values("--mac").empty() || words.size() != 2) {
        return std::string("device check needs --mac MAC (repeatable)");
    }
    for (const auto& mac : args.values("--mac")) {
        if (!mac::canonicalMac(mac)) {
            return "--mac " + mac + ": " + mac::describe(mac::Reading(mac).refusal());
        }
    }
    return std::nullopt;
}

// The canonical forms of --mac, in order, once each.
std::vector<std::string> typedMacs(const support::ArgParser& args) {
    std::vector<std::string> macs;
    for (const auto& mac : args.values("--mac")) {
        const std::string canonical = *mac::canonicalMac(mac);
        if (std::find(macs.begin(), macs.end(), canonical) == macs.end()) {
            macs.push_back(canonical);
        }
    }
    return macs;
}

int runInventoryCommand(Context& context, const std::string& command) {
    const auto csv = context.args.value("--csv");
    if (command == "list") return listDevicesCommand(context.endpoint, context.userName, csv);
    return checkDevicesCommand(context.endpoint, context.userName, typedMacs(context.args), csv);
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
    } else if (command == "device" && words.size() >= 2 &&
               (words[1] == "list" || words[1] == "check")) {
        if (auto problem = inventoryCommandProblem(args)) return problem;
    } else if (command == "device") {
        if (!addOrDel) return "device needs: add MACFILE, del MACFILE, list or check";
        if (!args.value("--server-field")) return "device needs --server-field TEXT";
        const std::string replace = args.value("--replace").value_or("ask");
        if (replace != "ask" && replace != "all" && replace != "none") {
            return "--replace takes ask, all or none";
        }
        if (words[1] == "add" && replace == "ask" && !Terminal().available()) {
            return "--replace ask needs a terminal; give --replace all or none";
        }
        if (auto report = args.value("--report")) {
            if (auto same = support::refuseSameFile(words[2], *report); !same) {
                return same.error().message;
            }
        }
    } else {
        return "unknown kesto command '" + command + "'";
    }
    if (!args.value("--user")) return "--user NAME is needed";
    if (command == "passwd" && *args.value("--user") == provisioning::kAdministratorName) {
        // The server refuses it on the wire: anyone sharing the chief's address could use it.
        return "the administrator's password is set on the server: kestod passwd --dir DIR " +
               std::string(provisioning::kAdministratorName) + " --password-file FILE";
    }
    return std::nullopt;
}

int runKesto(const std::vector<std::string>& arguments) {
    support::ArgParser args(
        {"--address", "--host", "--ports", "--cafile", "--connect-timeout", "--exchange-timeout",
         "--jobs", "--user", "--password-file", "--new-password-file", "--server-field",
         "--replace", "--report", "--mac", "--csv"},
        {"--free-devices", "--verbose"}, {{"-v", "--verbose"}});
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

    auto password = readPassword(args.value("--password-file"), "password", false);
    if (!password) return failWith(password.error());

    Context context{args,
                    provisioning::endpointFromSettings(loaded->effective),
                    loaded->effective.jobs.value,
                    *userName,
                    {}};
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
    if (words[1] == "list" || words[1] == "check") return runInventoryCommand(context, words[1]);
    return runDeviceCommand(context, words);
}

}  // namespace

VELQUOR_REGISTER_COMMAND("kesto", kUsage, "log in to the Kesto server; users, password, devices",
                         runKesto);

}  // namespace velquor::cli
