// kestod: the reference Kesto provisioning server. Sub-commands: init (make a server folder),
// serve (answer requests), users and devices (list what is stored).
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "server/account_store.h"
#include "server/kesto_server.h"
#include "server/request_log.h"
#include "server/server_files.h"
#include "server/server_init.h"

#ifndef VELQUOR_KESTO_ADDRESS
#define VELQUOR_KESTO_ADDRESS "127.0.0.1"
#endif

namespace {

using namespace velquor;
using namespace velquor::server;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage:\n"
    "  kestod init --dir DIR [--address A] [--admin-password-file F] [--force]\n"
    "              [--pbkdf2-iterations N]\n"
    "  kestod serve --dir DIR [--address A] [--ports LOGIN,ACCOUNT,DEVICE]\n"
    "              [--deadline-ms N] [--grant-ms N] [--workers N] [--max-connections N]\n"
    "              [--max-per-peer N] [--max-failed-logins-per-name N]\n"
    "              [--max-failed-logins-per-address N] [--failed-login-window-ms N]\n"
    "  kestod users --dir DIR\n"
    "  kestod devices --dir DIR\n"
    "\n"
    "init makes DIR with a CA, a server certificate for the address (default " VELQUOR_KESTO_ADDRESS
    "),\n"
    "DIR/cacert.pem for clients and the database with the administrator account 'chief'. Its\n"
    "password is read from F (first line), or generated and printed once. --force replaces the\n"
    "keys and certificates of an existing DIR and resets chief's password; accounts and\n"
    "registrations are kept.\n";

int fail(std::string_view message) {
    std::cerr << "kestod: " << message << '\n';
    return kExitFailure;
}

int usage(std::string_view message) {
    std::cerr << "kestod: " << message << "\n" << kUsage;
    return kExitUsage;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// Reads an optional positive number option; false (with a message printed) if malformed.
template <typename Number>
bool numberOption(const cli::ArgParser& args, const std::string& name, Number& out,
                  bool allowZero = false) {
    const auto value = args.value("--" + name);
    if (!value) return true;
    Number parsed{};
    if (!parseNumber(*value, parsed) || (!allowZero && parsed == 0)) {
        usage("--" + name + " needs a positive whole number, not '" + *value + "'");
        return false;
    }
    out = parsed;
    return true;
}

bool parsePorts(std::string_view text, std::array<std::uint16_t, 3>& ports) {
    std::size_t index = 0;
    while (index < 3) {
        const auto comma = text.find(',');
        const auto part = text.substr(0, comma);
        if (!parseNumber(part, ports[index])) return false;
        ++index;
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return index == 3 && text.find(',') == std::string_view::npos;
}

int runInit(const std::vector<std::string>& argv) {
    cli::ArgParser args({"--dir", "--address", "--admin-password-file", "--pbkdf2-iterations"}, {"--force"});
    if (!args.parse(argv)) return usage(args.error());
    if (!args.positionals().empty()) return usage("unexpected argument '" + args.positionals()[0] + "'");
    if (!args.value("--dir")) return usage("init needs --dir DIR");
    InitOptions options;
    options.folder = *args.value("--dir");
    options.address = args.value("--address").value_or(VELQUOR_KESTO_ADDRESS);
    if (auto file = args.value("--admin-password-file")) options.adminPasswordFile = *file;
    options.force = args.has("--force");
    if (!numberOption(args, "pbkdf2-iterations", options.iterations)) return kExitUsage;
    auto outcome = initialiseServer(options);
    if (!outcome) return fail(outcome.error().message);
    const auto files = serverFilesIn(options.folder);
    std::cout << "kestod: initialised " << options.folder.string() << " for " << options.address
              << "; clients need " << files.caCert.string() << " as their cacert.pem\n";
    if (!outcome->generatedPassword.empty()) {
        std::cout << "kestod: administrator account 'chief' password (shown only now, keep it): "
                  << outcome->generatedPassword << "\n";
    }
    return kExitOk;
}

KestoServer* g_server = nullptr;

// Every open connection is a descriptor; the usual soft limit of 1024 would cap the server
// below its own connection limit.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void onStopSignal(int) {
    if (g_server != nullptr) g_server->requestStop();
}

int runServe(const std::vector<std::string>& argv) {
    cli::ArgParser args({"--dir", "--address", "--ports", "--deadline-ms", "--grant-ms", "--workers",
                         "--max-connections", "--max-per-peer", "--max-failed-logins-per-name",
                         "--max-failed-logins-per-address", "--failed-login-window-ms"},
                        {});
    if (!args.parse(argv)) return usage(args.error());
    if (!args.positionals().empty()) return usage("unexpected argument '" + args.positionals()[0] + "'");
    if (!args.value("--dir")) return usage("serve needs --dir DIR");
    ServeSettings settings;
    settings.folder = *args.value("--dir");
    settings.address = args.value("--address").value_or("");
    if (auto ports = args.value("--ports"); ports && !parsePorts(*ports, settings.ports)) {
        return usage("--ports needs three port numbers, LOGIN,ACCOUNT,DEVICE, not '" + *ports +
                     "'");
    }
    long long deadlineMs = settings.connectionDeadline.count();
    long long grantMs = settings.grantLifetime.count();
    long long windowMs = settings.throttle.window.count();
    if (!numberOption(args, "deadline-ms", deadlineMs) || !numberOption(args, "grant-ms", grantMs) ||
        !numberOption(args, "workers", settings.workers) ||
        !numberOption(args, "max-connections", settings.maxConnections) ||
        !numberOption(args, "max-per-peer", settings.maxConnectionsPerPeer) ||
        !numberOption(args, "max-failed-logins-per-name", settings.throttle.failuresPerName) ||
        !numberOption(args, "max-failed-logins-per-address",
                      settings.throttle.failuresPerAddress) ||
        !numberOption(args, "failed-login-window-ms", windowMs)) {
        return kExitUsage;
    }
    settings.connectionDeadline = std::chrono::milliseconds(deadlineMs);
    settings.grantLifetime = std::chrono::milliseconds(grantMs);
    settings.throttle.window = std::chrono::milliseconds(windowMs);

    raiseDescriptorLimit();
    auto server = KestoServer::create(std::move(settings));
    if (!server) return fail(server.error().message);
    g_server = server->get();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const auto ports = (*server)->ports();
    std::cout << "kestod: serving on " << (*server)->address() << " ports " << ports[0] << ','
              << ports[1] << ',' << ports[2] << std::endl;
    auto status = (*server)->run();
    g_server = nullptr;
    if (!status) return fail(status.error().message);
    std::cerr << "kestod: stopped\n";
    return kExitOk;
}

support::Result<AccountStore> openExisting(const std::vector<std::string>& argv,
                                           std::string& usageMessage) {
    cli::ArgParser args({"--dir"}, {});
    if (!args.parse(argv) || !args.positionals().empty()) {
        usageMessage = args.positionals().empty() ? args.error() : "unexpected argument '" + args.positionals()[0] + "'";
        return support::makeError(support::ErrorCode::InvalidInput, usageMessage);
    }
    if (!args.value("--dir")) {
        usageMessage = "this command needs --dir DIR";
        return support::makeError(support::ErrorCode::InvalidInput, usageMessage);
    }
    return AccountStore::open(serverFilesIn(*args.value("--dir")).database,
                              AccountStore::OpenMode::MustExist);
}

int runUsers(const std::vector<std::string>& argv) {
    std::string usageMessage;
    auto store = openExisting(argv, usageMessage);
    if (!usageMessage.empty()) return usage(usageMessage);
    if (!store) return fail(store.error().message);
    auto users = store->listUsers();
    if (!users) return fail(users.error().message);
    std::cout << "user\tcreated\tdevices\n";
    for (const auto& user : *users) {
        std::cout << escapeForLog(user.name) << '\t' << user.created << '\t' << user.devices
                  << '\n';
    }
    return kExitOk;
}

int runDevices(const std::vector<std::string>& argv) {
    std::string usageMessage;
    auto store = openExisting(argv, usageMessage);
    if (!usageMessage.empty()) return usage(usageMessage);
    if (!store) return fail(store.error().message);
    auto devices = store->listDevices();
    if (!devices) return fail(devices.error().message);
    std::cout << "mac\tuser\tserver\tregistered\n";
    for (const auto& device : *devices) {
        std::cout << escapeForLog(device.mac) << '\t' << escapeForLog(device.owner) << '\t'
                  << escapeForLog(device.server) << '\t' << device.registered << '\n';
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage("a command is needed");
    const std::string command = argv[1];
    const std::vector<std::string> rest(argv + 2, argv + argc);
    if (command == "init") return runInit(rest);
    if (command == "serve") return runServe(rest);
    if (command == "users") return runUsers(rest);
    if (command == "devices") return runDevices(rest);
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return kExitOk;
    }
    return usage("unknown command '" + command + "'");
}
