// Parsing of kestod's command lines; see command_line.h.
#include "server/command_line.h"

#include <charconv>
#include <optional>
#include <string_view>

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

// Parses and checks the command line, and the positionals and --dir every command shares.
support::Result<std::filesystem::path> parseWithFolder(ArgParser& args,
                                                       const std::vector<std::string>& argv) {
    if (auto parsed = args.parse(argv); !parsed) return parsed.error();
    if (!args.positionals().empty()) {
        return usage("unexpected argument '" + args.positionals()[0] + "'");
    }
    const auto folder = args.value("--dir");
    if (!folder || folder->empty()) return usage("--dir DIR is needed");
    return std::filesystem::path(*folder);
}

// Stores an optional positive number option into out, left alone when the option is absent.
// Zero and negative values are refused: a zero limit or a negative time would make the
// server refuse everything, which nobody asks for on purpose.
template <typename Number>
support::Status positiveOption(const ArgParser& args, const std::string& name, Number& out) {
    const auto text = args.value(name);
    if (!text) return {};
    const auto number = wholeNumber<Number>(*text);
    if (!number || *number <= 0) {
        return usage(name + " needs a positive whole number, not '" + *text + "'");
    }
    out = *number;
    return {};
}

support::Status millisecondsOption(const ArgParser& args, const std::string& name,
                                   std::chrono::milliseconds& out) {
    auto count = out.count();
    auto status = positiveOption(args, name, count);
    out = std::chrono::milliseconds(count);
    return status;
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

// The store a command works on: the SQLite file of the folder, or the database of --database.
// Commands that need no folder of their own take either.
support::Result<StoreLocation> storeLocation(ArgParser& args,
                                             const std::vector<std::string>& argv) {
    if (auto parsed = args.parse(argv); !parsed) return parsed.error();
    StoreLocation location;
    location.folder = args.value("--dir").value_or("");
    location.databaseUrl = args.value("--database").value_or("");
    if (args.value("--database") && location.databaseUrl.empty()) {
        return usage("--database needs a URL such as postgresql:///kesto");
    }
    if (location.folder.empty() && location.databaseUrl.empty()) {
        return usage("--dir DIR or --database URL is needed");
    }
    return location;
}

}  // namespace

support::Result<InitOptions> parseInitOptions(const std::vector<std::string>& argv) {
    ArgParser args(
        {"--dir", "--address", "--admin-password-file", "--pbkdf2-iterations", "--database"},
        {"--force"});
    auto folder = parseWithFolder(args, argv);
    if (!folder) return folder.error();
    InitOptions options;
    options.folder = std::move(*folder);
    if (auto address = args.value("--address")) options.address = *address;
    if (auto file = args.value("--admin-password-file")) options.adminPasswordFile = *file;
    options.force = args.has("--force");
    if (auto url = args.value("--database")) {
        if (url->empty()) return usage("--database needs a URL such as postgresql:///kesto");
        options.databaseUrl = *url;
    }
    if (auto s = positiveOption(args, "--pbkdf2-iterations", options.iterations); !s) {
        return s.error();
    }
    return options;
}

support::Result<ServeSettings> parseServeSettings(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--address", "--ports", "--deadline-ms", "--grant-ms", "--workers",
                    "--max-connections", "--max-per-peer", "--max-failed-logins-per-name",
                    "--max-failed-logins-per-address", "--failed-login-window-ms", "--database"},
                   {});
    auto folder = parseWithFolder(args, argv);
    if (!folder) return folder.error();
    ServeSettings settings;
    settings.folder = std::move(*folder);
    settings.address = args.value("--address").value_or("");
    if (auto url = args.value("--database")) {
        if (url->empty()) return usage("--database needs a URL such as postgresql:///kesto");
        settings.databaseUrl = *url;
    }
    for (const support::Status& status : {
             portsOption(args, settings.ports),
             millisecondsOption(args, "--deadline-ms", settings.connectionDeadline),
             millisecondsOption(args, "--grant-ms", settings.grantLifetime),
             millisecondsOption(args, "--failed-login-window-ms", settings.loginLimits.window),
             positiveOption(args, "--workers", settings.workers),
             positiveOption(args, "--max-connections", settings.maxConnections),
             positiveOption(args, "--max-per-peer", settings.maxConnectionsPerPeer),
             positiveOption(args, "--max-failed-logins-per-name",
                            settings.loginLimits.failuresPerName),
             positiveOption(args, "--max-failed-logins-per-address",
                            settings.loginLimits.failuresPerAddress),
         }) {
        if (!status) return status.error();
    }
    return settings;
}

support::Result<StoreLocation> parseStoreLocation(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--database"}, {});
    auto location = storeLocation(args, argv);
    if (!location) return location.error();
    if (!args.positionals().empty()) {
        return usage("unexpected argument '" + args.positionals()[0] + "'");
    }
    return location;
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

support::Result<MigrateOptions> parseMigrateOptions(const std::vector<std::string>& argv) {
    ArgParser args({"--dir", "--to"}, {});
    auto folder = parseWithFolder(args, argv);
    if (!folder) return folder.error();
    const auto url = args.value("--to");
    if (!url || url->empty()) return usage("--to URL (the PostgreSQL database) is needed");
    return MigrateOptions{std::move(*folder), *url};
}

}  // namespace velquor::server
