// The Kesto client's settings, shared by the window and velquor-cli: where the server is, which
// CA certificate to trust, how long to wait and how many device exchanges to keep in flight.
// Each value comes from the first source that gives it: a command-line option, the per-user
// file ($XDG_CONFIG_HOME/velquor/velquor.conf), the system file (/etc/velquor/velquor.conf), or
// the build-time default. With no file at all the client behaves as it was built.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mac/file_name.h"
#include "mac/mac_address.h"
#include "support/result.h"

namespace velquor::settings {

// Login, account and device port, in the order --ports takes them.
using KestoPorts = std::array<std::uint16_t, 3>;

// What one source says; an empty optional leaves the value to the sources below it.
struct KestoValues {
    std::optional<std::string> address;  // a DNS name, an IPv4 or an IPv6 address
    std::optional<KestoPorts> ports;
    std::optional<std::string> caFile;
    std::optional<std::chrono::milliseconds> connectTimeout;   // TCP connect and TLS handshake
    std::optional<std::chrono::milliseconds> exchangeTimeout;  // the record and its reply
    std::optional<std::size_t> jobs;                           // device exchanges in flight at once
    std::optional<mac::Form> macForm;  // [devices]: how device files and records write a MAC
    std::optional<mac::FileNamePattern> fileName;  // [devices]: what device files are named
    // [window] language: the window's language, "auto" (the desktop's) or a code ("zh_CN");
    // velquor reads it at start.
    std::optional<std::string> language;

    bool operator==(const KestoValues&) const = default;
};

enum class Origin { BuildDefault, SystemFile, UserFile, CommandLine };

// Where an effective value came from: the kind of source and, for a file, "path:line".
struct ValueOrigin {
    Origin origin = Origin::BuildDefault;
    std::string where;  // "/etc/velquor/velquor.conf:4", "--ports", "" for a default

    bool operator==(const ValueOrigin&) const = default;
};

template <typename T>
struct Effective {
    T value{};
    ValueOrigin from;
};

// Every value decided. caFile empty means "not set": the CA lookup (findCaFile) applies.
struct KestoSettings {
    Effective<std::string> address;
    Effective<KestoPorts> ports;
    Effective<std::string> caFile;
    Effective<std::chrono::milliseconds> connectTimeout;
    Effective<std::chrono::milliseconds> exchangeTimeout;
    Effective<std::size_t> jobs;
    Effective<mac::Form> macForm;
    Effective<mac::FileNamePattern> fileName;
    Effective<std::string> language;
};

// The build-time defaults: the address the build was configured with, the product's ports,
// a connect time-out of a few seconds so a dead server is found quickly.
KestoValues builtInDefaults();

inline constexpr std::size_t kMaxJobs = 64;
// The language value that follows the desktop's.
inline constexpr std::string_view kAutomaticLanguage = "auto";

// Where the two files and the CA bundles next to them live.
struct SettingsPaths {
    std::filesystem::path systemFolder;  // /etc/velquor, or $VELQUOR_SYSTEM_CONFIG_DIR
    std::filesystem::path userFolder;    // $XDG_CONFIG_HOME/velquor, ~/.config/velquor by default

    std::filesystem::path systemFile() const { return systemFolder / "velquor.conf"; }
    std::filesystem::path userFile() const { return userFolder / "velquor.conf"; }
};

// The folders this process uses, from the environment (XDG_CONFIG_HOME, HOME and, for tests
// and unusual installs, VELQUOR_SYSTEM_CONFIG_DIR).
SettingsPaths defaultSettingsPaths();

struct LoadedSettings {
    KestoValues system;  // what the system file says (all empty when it is absent)
    KestoValues user;    // what the per-user file says
    KestoSettings effective;
    // Unknown sections or keys and files that exist but cannot be read, one line each naming
    // the file and line; the files' other values still apply.
    std::vector<std::string> warnings;
    std::vector<support::Phrase> warningPhrases;  // the same, as the window words them
};

// Reads both files and lays the command line's values over them. A value that cannot be
// used (a port that is not a number, a negative time-out, a line that is not "key = value")
// is an error naming the file, the line and the key: a setting silently ignored would send
// the operator's requests somewhere else than the file says. When the command line gives that
// key's value, the mistake is moot and only a warning. A file that is not a regular file, or
// that another user could have written, is not used, with a warning (settings_file.h).
support::Result<LoadedSettings> loadSettings(const KestoValues& commandLine = {},
                                             const SettingsPaths& paths = defaultSettingsPaths());

// The warnings this process has not shown yet, so a window that reloads the settings after
// every change warns about an unknown key once, not every time.
std::vector<std::string> unseenWarnings(const std::vector<std::string>& warnings);
// The same for the warnings as the window words them (both count as shown once).
std::vector<support::Phrase> unseenWarnings(const std::vector<support::Phrase>& warnings);

// Writes the values into the per-user file atomically, creating its folder. Keys of [kesto]
// and [devices] given here are set, keys left empty are removed (the system file or the default
// then applies); comments, other sections and keys this program does not know are kept as they are.
// Nothing is written unless the file, read again, gives back every value as given (a value
// with a line break or a " ;" would not): the error names the key.
support::Status saveUserSettings(const KestoValues& values,
                                 const SettingsPaths& paths = defaultSettingsPaths());

// ---- Values as written in the file and on the command line ---------------------------------
// Each error message says what was expected, without naming the source; the caller adds it.

support::Result<std::string> parseAddress(std::string_view text);
support::Result<KestoPorts> parsePorts(std::string_view text);  // "44388,44389,44391"
support::Result<std::chrono::milliseconds> parseSeconds(std::string_view text);  // "5", "0.5"
support::Result<std::size_t> parseJobs(std::string_view text);                   // 1 to 64
support::Result<mac::Form> parseMacForm(std::string_view text);  // plain, lower, upper, as-written
// "{mac}.xml", "cfg{mac}.cfg": refused as mac::FileNamePattern::parse refuses it.
support::Result<mac::FileNamePattern> parseFileName(std::string_view text);
// "auto" or a language code as a locale names it: "zh_CN", "zh-CN", "de" (kept as written).
support::Result<std::string> parseLanguage(std::string_view text);

std::string formatPorts(const KestoPorts& ports);
std::string formatSeconds(std::chrono::milliseconds duration);

// "host:port", with an IPv6 address in brackets.
std::string hostAndPort(std::string_view address, std::uint16_t port);

// The command-line options that stand for a setting, each with the key it overrides; --host
// is the older spelling of --address.
struct SettingOption {
    std::string_view option;
    std::string_view key;
};
inline constexpr SettingOption kSettingOptions[] = {
    {"--address", "address"},
    {"--host", "address"},
    {"--ports", "ports"},
    {"--cafile", "ca-file"},
    {"--connect-timeout", "connect-timeout"},
    {"--exchange-timeout", "exchange-timeout"},
    {"--jobs", "jobs"},
    {"--mac-form", "mac-form"},
};

// The command line's values, valueOf giving each option's text (nothing when not given). An
// unusable value is a Usage error naming the option.
support::Result<KestoValues> valuesFromOptions(
    const std::function<std::optional<std::string>(const std::string& option)>& valueOf);

// ---- The CA certificate --------------------------------------------------------------------

struct CaFileLookup {
    std::optional<std::filesystem::path> found;
    std::vector<std::filesystem::path> searched;  // in the order they were tried
    // Why files that are there were not used ("./cacert.pem is writable by every user",
    // "... is a FIFO, not a file"), in the order they were tried.
    std::vector<std::string> rejected;
    // When nothing was found: where it looked and which setting names the file.
    std::string problem;
    support::Phrase problemPhrase{};  // problem as the window words it
};

// The ca-file setting when given (relative to the file that gave it, or to the working
// directory for a command-line option); otherwise cacert.pem in the working directory, then
// velquor/cacert.pem in the per-user and the system configuration folders, each used only
// when owned by this user or root and not writable by others. Only a regular file is found:
// a FIFO is never opened, so nothing waits on it.
CaFileLookup findCaFile(const KestoSettings& settings,
                        const SettingsPaths& paths = defaultSettingsPaths());

// ---- Showing the settings ------------------------------------------------------------------

std::string_view originName(Origin origin);  // "default", "system file", "user file", ...

struct SettingLine {
    std::string section;  // "kesto" or "devices"
    std::string key;      // as in the file: "address", "ports", ...
    std::string value;    // as it would be written there
    ValueOrigin from;
};
// The effective values in the file's order and spelling, for `velquor-cli settings` and the
// Settings dialog.
std::vector<SettingLine> describeSettings(const KestoSettings& settings);

}  // namespace velquor::settings
