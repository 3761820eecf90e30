// Parsing of kestod's command lines; see command_line.h.
#include "server/commands/command_line.h"

#include <charconv>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "net/address_range.h"
#include "net/host_address.h"
#include "server/store/postgres/postgres_account_store.h"
#include "server/tls/certificates.h"
#include "support/arg_parser.h"

namespace velquor::server {

namespace {

using support::ArgParser;
using support::ErrorCode;
using support::makeError;

support::Error usage(std::string message) {
    return makeError(ErrorCode::Usage, std::move(message));
}

template <typename Number>
std::optional<Number> wholeNumber(std::string_view text) {
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A setting given twice is refused, not settled by whichever came last: two --ports or --dir
// in a unit's command line and its options file are a mistake to point at. Only --address
// may repeat.
support::Status noRepeatedSettings(const ArgParser& args,
                                   std::initializer_list<const char*> options) {
    for (const char* option : options) {
        if (args.values(option).size() > 1) {
            return usage(std::string(option) + " is given more than once; give it once");
        }
    }
    return {};
}

// Parses and checks the command line, and the positionals and --dir every command shares.
support::Result<std::filesystem::path> parseWithFolder(ArgParser& args,
                                                       const std::vector<std::string>& argv) {
    if (auto parsed = args.parse(argv); !parsed) return parsed.error();
    if (auto once = noRepeatedSettings(
            args, {"--dir", "--ports", "--database", "--admin-password-file", "--pbkdf2-iterations",
                   "--ca-dir", "--deadline-ms", "--handshake-ms", "--grant-ms", "--workers",
                   "--max-connections", "--max-per-peer", "--max-logins-per-address",
                   "--max-failed-logins-per-name", "--max-failed-logins-per-address",
                   "--max-failed-logins-per-account", "--failed-login-window-ms", "--phone-port"});
        !once) {
        return once.error();
    }
    if (!args.positionals().empty()) {
        return usage("unexpected argument '" + args.positionals()[0] + "'");
    }
    const auto folder = args.value("--dir");
    if (!folder || folder->empty()) return usage("--dir DIR is needed");
    return std::filesystem::path(*folder);
}

// Stores an optional positive number option into out, left alone when the option is absent.
// Zero and negative values are refused: a zero limit or a negative time would make the
// server refuse everything, which nobody asks for on purpose. The upper bound keeps sums
// with the clock and counts of descriptors within what the server can represent.
template <typename Number>
support::Status positiveOption(const ArgParser& args, const std::string& name, Number& out,
                               long long most) {
    const auto text = args.value(name);
    if (!text) return {};
    const auto number = wholeNumber<long long>(*text);
    if (!number || *number <= 0 || *number > most) {
        return usage(name + " needs a whole number from 1 to " + std::to_string(most) + ", not '" +
                     *text + "'");
    }
    out = static_cast<Number>(*number);
    return {};
}

support::Status millisecondsOption(const ArgParser& args, const std::string& name,
                                   std::chrono::milliseconds& out, std::chrono::milliseconds most) {
    auto count = out.count();
    auto status = positiveOption(args, name, count, most.count());
    out = std::chrono::milliseconds(count);
    return status;
}

constexpr long long kMostCount = 1'000'000;
constexpr std::chrono::milliseconds kMostDeadline = std::chrono::minutes(10);
constexpr std::chrono::milliseconds kMostGrant = std::chrono::hours(24 * 30);
constexpr std::chrono::milliseconds kMostWindow = std::chrono::hours(24);

// Every value of a repeatable option, each of them a comma-separated list. The parser keeps
// the last one only, so the command line is walked here first.
std::vector<std::string> repeatedListOption(const std::vector<std::string>& argv,
                                            const std::string& name) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (argv[i] == "--") break;
        std::string text;
        if (argv[i] == name && i + 1 < argv.size()) {
            text = argv[++i];
        } else if (argv[i].rfind(name + "=", 0) == 0) {
            text = argv[i].substr(name.size() + 1);
        } else {
            continue;
        }
        if (text.empty()) values.emplace_back();  // refused below, as an empty address
        for (auto& item : splitAddressList(text)) values.push_back(std::move(item));
    }
    return values;
}

support::Result<std::vector<std::string>> addressesOption(const std::vector<std::string>& argv) {
    auto addresses = repeatedListOption(argv, "--address");
    for (auto& address : addresses) {
        if (auto problem = addressProblem(address); !problem.empty()) {
            return usage("--address: " + problem);
        }
        address = net::parseHostAddress(address)->address;  // "[::1]" bound as "::1"
    }
    return addresses;
}

support::Status databaseOption(const ArgParser& args, std::string& out) {
    const auto url = args.value("--database");
    if (!url) return {};
    if (url->empty()) return usage("--database needs a URL such as postgresql:///kesto");
    if (auto status = checkDatabaseUrl(*url); !status) return usage(status.error().message);
    out = *url;
    return {};
}

support::Status portsOption(const ArgParser& args, std::array<std::uint16_t, 3>& ports) {
    const auto text = args.value("--ports");
    if (!text) return {};
    std::array<std::uint16_t, 3> parsed{};
    std::string_view rest = *text;
    for (std::size_t index = 0; index < parsed.size(); ++index) {
        const auto comma = rest.find(',');
        const bool last = index + 1 == parsed.size();
        const auto port = wholeNumber<std::uint16_t>(rest.substr(0, comma));
        if (!port || last != (comma == std::string_view::npos)) {
            return usage("--ports needs three port numbers, LOGIN,ACCOUNT,DEVICE, not '" + *text +
                         "'");
        }
        parsed[index] = *port;
        if (!last) rest.remove_prefix(comma + 1);
    }
    ports = parsed;
    return {};
}

support::Status portOption(const ArgParser& args, const std::string& name, std::uint16_t& port) {
    const auto text = args.value(name);
    if (!text) return {};
    const auto number = wholeNumber<std::uint16_t>(*text);
    if (!number) return usage(name + " needs a port number from 0 to 65535, not '" + *text + "'");
    port = *number;
    return {};
}

// The store a command works on: the SQLite file of the folder, or the database of --database.
// Commands that need no folder of their own take either.
support::Result<StoreLocation> storeLocation(ArgParser& args,
                                             const std::vector<std::string>& argv) {
    if (auto parsed = args.parse(argv); !parsed) return parsed.error();
    if (auto once = noRepeatedSettings(args, {"--dir", "--database"}); !once) return once.error();
    StoreLocation location;
    location.folder = args.value("--dir").value_or("");
    if (auto status = databaseOption(args, location.databaseUrl); !status) return status.error();
    if (location.folder.empty() && location.databaseUrl.empty()) {
        return usage("--dir DIR or --database URL is needed");
    }
    return location;
}

}  // namespace

// Every value of a repeatable option naming a file, and for --ca the files after it too.
std::vector<std::filesystem::path> repeatedFiles(const std::vector<std::string>& argv,
                                                 const std::string& name) {
    std::vector<std::filesystem::path> files;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (argv[i] == "--") break;
        if (argv[i] == name && i + 1 < argv.size()) {
            files.emplace_back(argv[++i]);
        } else if (argv[i].rfind(name + "=", 0) == 0) {
            files.emplace_back(argv[i].substr(name.size() + 1));
        }
    }
    return files;
}

support::Result<InitOptions> parseInitOptions(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--address", "--admin-password-file", "--pbkdf2-iterations",
                    "--database", "--ca-dir", "--phone-ca"},
                   {"--force"});
    auto folder = parseWithFolder(args, argv);
    if (!folder) return folder.error();
    InitOptions options;
    options.folder = std::move(*folder);
    auto addresses = addressesOption(argv);
    if (!addresses) return addresses.error();
    if (!addresses->empty()) options.addresses = std::move(*addresses);
    if (auto file = args.value("--admin-password-file")) options.adminPasswordFile = *file;
    if (auto ca = args.value("--ca-dir")) {
        if (ca->empty()) return usage("--ca-dir needs a folder");
        options.caFolder = *ca;
    }
    options.force = args.has("--force");
    options.phoneCas = repeatedFiles(argv, "--phone-ca");
    for (const auto& file : options.phoneCas) {
        if (file.empty()) return usage("--phone-ca needs a CA file");
    }
    if (auto status = databaseOption(args, options.databaseUrl); !status) return status.error();
    if (auto s = positiveOption(args, "--pbkdf2-iterations", options.iterations, 0x7fffffff); !s) {
        return s.error();
    }
    return options;
}

support::Result<ServeSettings> parseServeSettings(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--address", "--ports", "--deadline-ms", "--handshake-ms",
                    "--grant-ms", "--workers", "--max-connections", "--max-per-peer",
                    "--max-logins-per-address", "--max-failed-logins-per-name",
                    "--max-failed-logins-per-address", "--max-failed-logins-per-account",
                    "--failed-login-window-ms", "--database", "--phone-port"},
                   {});
    auto folder = parseWithFolder(args, argv);
    if (!folder) return folder.error();
    ServeSettings settings;
    settings.folder = std::move(*folder);
    auto addresses = addressesOption(argv);
    if (!addresses) return addresses.error();
    settings.addresses = std::move(*addresses);
    for (const support::Status& status : {
             databaseOption(args, settings.databaseUrl),
             portsOption(args, settings.ports),
             portOption(args, "--phone-port", settings.phonePort),
             millisecondsOption(args, "--deadline-ms", settings.connectionDeadline, kMostDeadline),
             millisecondsOption(args, "--handshake-ms", settings.handshakeDeadline, kMostDeadline),
             millisecondsOption(args, "--grant-ms", settings.grantLifetime, kMostGrant),
             millisecondsOption(args, "--failed-login-window-ms", settings.loginLimits.window,
                                kMostWindow),
             positiveOption(args, "--workers", settings.workers, 1024),
             positiveOption(args, "--max-connections", settings.maxConnections, kMostCount),
             positiveOption(args, "--max-per-peer", settings.maxConnectionsPerPeer, kMostCount),
             positiveOption(args, "--max-logins-per-address", settings.maxLoginsPerAddress,
                            kMostCount),
             positiveOption(args, "--max-failed-logins-per-name",
                            settings.loginLimits.failuresPerName, kMostCount),
             positiveOption(args, "--max-failed-logins-per-address",
                            settings.loginLimits.failuresPerAddress, kMostCount),
             positiveOption(args, "--max-failed-logins-per-account",
                            settings.loginLimits.guessesPerHour, kMostCount),
         }) {
        if (!status) return status.error();
    }
    if (settings.maxConnectionsPerPeer > settings.maxConnections) {
        return usage("--max-per-peer cannot be more than --max-connections (" +
                     std::to_string(settings.maxConnections) + ")");
    }
    return settings;
}

support::Result<UsersOptions> parseUsersOptions(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--database", "--days"}, {"--everywhere"});
    auto location = storeLocation(args, argv);
    if (!location) return location.error();
    UsersOptions options;
    options.store = std::move(*location);
    if (auto days = positiveOption(args, "--days", options.trustDays, kMostTrustDays); !days) {
        return days.error();
    }
    const auto& words = args.positionals();
    if (words.empty()) {
        if (args.has("--days")) return usage("--days goes with 'trust NAME ADDR[/LEN]'");
        if (args.has("--everywhere")) return usage("--everywhere goes with 'trust NAME ADDR/0'");
        return options;
    }
    if (words[0] != "trust") return usage("unexpected argument '" + words[0] + "'");
    if (words.size() != 3) return usage("users trust needs a user and an address or range");
    if (words[1].empty()) return usage("users trust needs a user name; '' names no account");
    auto range = net::AddressRange::parse(words[2]);
    if (!range) return range.error();
    // A range of every address turns the guessing limit off for the name: only when asked for
    // in so many words.
    options.trustEverywhere = range->length() == 0;
    if (options.trustEverywhere && !args.has("--everywhere")) {
        return usage("'" + words[2] + "' is every address: it turns the guessing limit off for " +
                     words[1] + "; give --everywhere to trust it");
    }
    if (!options.trustEverywhere && args.has("--everywhere")) {
        return usage("--everywhere goes with a range of every address (0.0.0.0/0 or ::/0), not '" +
                     words[2] + "'");
    }
    options.trustUser = words[1];
    options.trustRange = range->text();
    return options;
}

support::Result<DevicesOptions> parseDevicesOptions(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--database"}, {"--invalid"});
    auto location = storeLocation(args, argv);
    if (!location) return location.error();
    DevicesOptions options{std::move(*location), {}, args.has("--invalid"), {}};
    const auto& words = args.positionals();
    if (words.empty()) return options;
    if (options.invalid) return usage("--invalid lists; it does not go with " + words[0]);
    if (words[0] == "assign") {
        if (words.size() != 3) return usage("devices assign needs a MAC address and a user");
        options.assign.assign(words.begin() + 1, words.end());
        return options;
    }
    if (words[0] != "release") return usage("unexpected argument '" + words[0] + "'");
    if (words.size() == 1) return usage("devices release needs the MAC addresses to free");
    options.release.assign(words.begin() + 1, words.end());
    return options;
}

support::Result<PasswdOptions> parsePasswdOptions(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--database", "--password-file"}, {});
    auto location = storeLocation(args, argv);
    if (!location) return location.error();
    if (args.positionals().size() != 1) {
        return usage(args.positionals().empty()
                         ? "passwd needs the name of the account"
                         : "unexpected argument '" + args.positionals()[1] + "'");
    }
    const auto file = args.value("--password-file");
    if (!file || file->empty()) {
        return usage("--password-file F (or - for standard input) is needed");
    }
    return PasswdOptions{std::move(*location), args.positionals()[0], *file};
}

support::Result<PhonesOptions> parsePhonesOptions(const std::vector<std::string>& argv) {
    // The files after --ca are its values too: "--ca a.pem b.pem".
    std::vector<std::string> options;
    std::vector<std::filesystem::path> cas;
    bool afterCa = false;
    for (const auto& arg : argv) {
        if (arg.rfind("--ca=", 0) == 0) {
            cas.emplace_back(arg.substr(5));
            afterCa = true;
            continue;
        }
        if (arg.rfind("--", 0) == 0) afterCa = arg == "--ca";
        if (afterCa && arg != "--ca") {
            cas.emplace_back(arg);
        } else if (arg != "--ca") {
            options.push_back(arg);
        }
    }
    if (afterCa && cas.empty()) return usage("--ca needs the phones' CA files");
    ArgParser args({"--dir"}, {});
    auto folder = parseWithFolder(args, options);
    if (!folder) return folder.error();
    for (const auto& file : cas) {
        if (file.empty()) return usage("--ca needs a CA file, not an empty name");
    }
    return PhonesOptions{std::move(*folder), std::move(cas)};
}

support::Result<MigrateOptions> parseMigrateOptions(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--to"}, {});
    auto folder = parseWithFolder(args, argv);
    if (!folder) return folder.error();
    const auto url = args.value("--to");
    if (!url || url->empty()) return usage("--to URL (the PostgreSQL database) is needed");
    if (auto status = checkDatabaseUrl(*url); !status) return usage(status.error().message);
    return MigrateOptions{std::move(*folder), *url};
}

}  // namespace velquor::server
