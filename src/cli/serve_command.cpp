// velquor-cli serve: serves a folder's files to the phones, prints one line per request and,
// at its end (Ctrl-C, SIGTERM or --for), the site's summary and its report.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "net/host_address.h"
#include "report/report_file.h"
#include "serve/log/log_summary.h"
#include "serve/request/phone_credentials.h"
#include "serve/server/phone_server.h"
#include "serve/status/site_sheet.h"
#include "settings/kesto_settings.h"
#include "support/hex.h"

namespace velquor::cli {
namespace {

constexpr const char* kName = "serve";

// "90", "90s", "15m", "2h", "1d".
std::optional<std::chrono::seconds> parseDuration(std::string_view text) {
    std::uint64_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error != std::errc() || end == text.data() || count == 0) return std::nullopt;
    const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
    std::uint64_t scale = 0;
    if (unit.empty() || unit == "s") scale = 1;
    if (unit == "m") scale = 60;
    if (unit == "h") scale = 3600;
    if (unit == "d") scale = 86400;
    if (scale == 0 || count > 10'000'000'000ull / scale) return std::nullopt;
    return std::chrono::seconds(count * scale);
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

// A field as the terminal gets it: every byte a peer sent outside printable ASCII (a control
// byte, an escape sequence, a lone C1 byte) and the backslash shown as \xNN, acting on
// nothing and forging nothing; "-" for an empty one.
std::string shown(const std::string& field) {
    return field.empty() ? "-" : support::escapeNonPrintable(field, "\\");
}

std::string recordLine(const serve::FetchRecord& record) {
    const std::string time = serve::formatLogTime(record.time);
    if (record.isSummary()) return time + '\t' + shown(serve::summaryText(record)) + '\n';
    return time + '\t' + shown(record.peer) + '\t' + shown(record.method) + '\t' +
           shown(record.path) + '\t' + std::to_string(record.status) + '\t' +
           std::to_string(record.bytes) + '\t' + shown(record.mac) + '\t' + shown(record.file) +
           '\t' + std::to_string(record.durationMs) + "ms\t" + shown(record.userAgent) + '\t' +
           shown(record.proof) + '\t' + shown(record.refusal) + '\n';
}

// Called from the server's output thread, never a serving one: a pipe nobody reads blocks
// only this thread, and the server drops what it cannot take. Written straight to the
// descriptor, one write for the records that came together, so nothing of standard output's
// waits in a buffer another thread may flush.
void printRecords(const std::vector<serve::FetchRecord>& records) {
    std::string lines;
    for (const serve::FetchRecord& record : records) lines += recordLine(record);
    std::size_t done = 0;
    while (done < lines.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, lines.data() + done, lines.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // standard output closed: the records are in the log
        done += static_cast<std::size_t>(written);
    }
}

// TFTP beside HTTP with --tftp-port, its other options refused without it.
support::Result<std::optional<serve::tftp::TftpOptions>> tftpOptionsFrom(
    const support::ArgParser& parser) {
    const auto port = parser.value("--tftp-port");
    if (!port) {
        for (const char* option : {"--tftp-blksize-max", "--tftp-port-range", "--tftp-single-port"})
            if (parser.has(option))
                return support::makeError(support::ErrorCode::Usage,
                                          std::string(option) + " needs --tftp-port");
        return std::optional<serve::tftp::TftpOptions>();
    }
    serve::tftp::TftpOptions tftp;
    auto parsed = parsePort(*port);
    if (!parsed)
        return support::makeError(support::ErrorCode::Usage,
                                  "--tftp-port " + *port + ": not a port number (0 to 65535)");
    tftp.port = *parsed;
    if (auto blockSize = parser.value("--tftp-blksize-max")) {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(blockSize->data(), blockSize->data() + blockSize->size(), value);
        if (error != std::errc() || end != blockSize->data() + blockSize->size() ||
            value < serve::tftp::kSmallestBlockSize || value > serve::tftp::kLargestBlockSize)
            return support::makeError(
                support::ErrorCode::Usage,
                "--tftp-blksize-max " + *blockSize + ": give a block size from 8 to 65464 bytes");
        tftp.blockSizeMax = value;
    }
    if (auto range = parser.value("--tftp-port-range")) {
        auto ports = serve::tftp::parsePortRange(*range);
        if (!ports) return ports.error();
        std::tie(tftp.transferPortFirst, tftp.transferPortLast) = *ports;
    }
    tftp.singlePort = parser.has("--tftp-single-port");
    if (tftp.singlePort && tftp.transferPortFirst != 0)
        return support::makeError(support::ErrorCode::Usage,
                                  "--tftp-single-port and --tftp-port-range exclude each other: "
                                  "transfers go from the listening port or from the range");
    return std::optional<serve::tftp::TftpOptions>(tftp);
}

support::Result<serve::ServeOptions> optionsFrom(const support::ArgParser& parser) {
    serve::ServeOptions options;
    options.folder = parser.positionals()[0];
    if (auto address = parser.value("--address")) {
        // Refused before anything is opened; "[::1]" served and shown as ::1.
        auto host = net::parseHostAddress(*address);
        if (!host)
            return support::makeError(support::ErrorCode::Usage,
                                      "--address " + host.error().message);
        options.address = host->address;
    }
    if (auto port = parser.value("--port")) {
        auto parsed = parsePort(*port);
        if (!parsed)
            return support::makeError(support::ErrorCode::Usage,
                                      "--port " + *port + ": not a port number (0 to 65535)");
        options.port = *parsed;
    }
    options.tlsCertificate = parser.value("--tls-cert").value_or("");
    options.tlsKey = parser.value("--tls-key").value_or("");
    if (options.tlsCertificate.empty() != options.tlsKey.empty())
        return support::makeError(support::ErrorCode::Usage,
                                  "--tls-cert and --tls-key go together");
    for (const std::string& ca : parser.values("--phone-ca")) options.phoneCas.emplace_back(ca);
    if (!options.phoneCas.empty() && options.tlsCertificate.empty())
        return support::makeError(support::ErrorCode::Usage,
                                  "--phone-ca needs HTTPS: give --tls-cert and --tls-key too");
    for (const std::string& range : parser.values("--allow")) {
        auto parsed = serve::parsePeerRange(range);
        if (!parsed) return parsed.error();
        options.allowed.add(*parsed);
    }
    options.logFile = parser.value("--log").value_or("");
    options.plainFiles = parser.has("--plain-files");
    options.noAuth = parser.has("--no-auth");
    // The phones' files are named as Generate names them: [devices] file-name of velquor.conf.
    auto loaded = settings::loadSettings({});
    if (!loaded) return loaded.error();
    options.fileName = loaded->effective.fileName.value;
    if (auto sheet = parser.value("--sheet")) {
        auto site = serve::readSite(*sheet, interruptToken());
        if (!site) return site.error();
        options.site = std::move(*site);
        auto passwords = serve::sheetHasPasswords(*sheet);
        if (!passwords) return passwords.error();
        options.sheetPasswords = *passwords;
        options.sheetFile = *sheet;
    }
    options.authFile = parser.value("--auth-file").value_or("");
    auto tftp = tftpOptionsFrom(parser);
    if (!tftp) return tftp.error();
    options.tftp = std::move(*tftp);
    return options;
}

// Lines the log or standard output could not take: said as the count grows while serving, at
// most once per interval, and at the end.
class DropWarnings {
public:
    explicit DropWarnings(const serve::PhoneServer& server) : m_server(server) {}

    void say() {
        sayGrown(m_log, m_server.logDropped(),
                 " lines could not be written to the fetch log and were dropped");
        sayGrown(m_output, m_server.outputDropped(),
                 " request lines were not printed: standard output was not read fast enough "
                 "(the fetch log has them)");
    }

private:
    void sayGrown(std::uint64_t& said, std::uint64_t now, const char* what) {
        if (now == said) return;
        said = now;
        printError("warning: " + serve::groupedNumber(now) + what);
    }

    const serve::PhoneServer& m_server;
    std::uint64_t m_log = 0;
    std::uint64_t m_output = 0;
};

constexpr auto kWarningInterval = std::chrono::seconds(10);
// How soon standard error says that the served folder went missing or came back.
constexpr auto kFolderLookInterval = std::chrono::seconds(1);

// Serves until Ctrl-C, SIGTERM or the end of the duration; standard error says when lines were
// dropped, and when the served folder goes missing and when it is back.
void waitForEnd(serve::PhoneServer& server, const std::filesystem::path& folder,
                std::optional<std::chrono::seconds> duration, DropWarnings& warnings) {
    const auto end = duration ? std::chrono::steady_clock::now() + *duration
                              : std::chrono::steady_clock::time_point::max();
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    const std::stop_token stop = interruptToken();
    serve::FolderHealth health;
    auto nextWarning = std::chrono::steady_clock::now();
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < end) {
        const auto next = std::min(end, std::chrono::steady_clock::now() + kFolderLookInterval);
        wake.wait_until(lock, stop, next, [] { return false; });
        if (std::chrono::steady_clock::now() >= nextWarning) {
            warnings.say();
            nextWarning = std::chrono::steady_clock::now() + kWarningInterval;
        }
        const serve::FolderHealth now = server.folderHealth();
        for (const support::Phrase& news : serve::folderNews(health, now, folder))
            printError("warning: " + news.english());
        health = now;
    }
}

int runServe(const std::vector<std::string>& args) {
    support::ArgParser parser({"--address", "--port", "--tls-cert", "--tls-key", "--phone-ca",
                               "--allow", "--sheet", "--log", "--report", "--for", "--auth-file",
                               "--tftp-port", "--tftp-blksize-max", "--tftp-port-range"},
                              {"--plain-files", "--no-auth", "--tftp-single-port"});
    if (auto parsed = parser.parse(args); !parsed) return usageError(kName, parsed.error().message);
    if (parser.positionals().size() != 1) return usageError(kName, "expected one folder DIR");
    std::optional<std::chrono::seconds> duration;
    if (auto text = parser.value("--for")) {
        if (!(duration = parseDuration(*text)))
            return usageError(kName, "--for " + *text + ": give a duration such as 90s, 15m or 2h");
    }
    auto options = optionsFrom(parser);
    if (!options) {
        if (options.error().code == support::ErrorCode::Usage)
            return usageError(kName, options.error().message);
        return failWith(options.error());
    }
    (void)interruptToken();  // handlers in place before the first request can arrive
    // A reader of standard output that goes away ends only the printing, not the serving.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string address = options->address;
    auto server = serve::PhoneServer::start(std::move(*options), printRecords);
    if (!server) return failWith(server.error());
    for (const support::Phrase& warning : (*server)->warnings())
        printError("warning: " + warning.english());
    for (const std::string& url :
         serve::serverUrls((*server)->port(), (*server)->usesTls(), address))
        std::fprintf(stderr, "serving %s on %s\n", parser.positionals()[0].c_str(), url.c_str());
    if (const std::uint16_t tftpPort = (*server)->tftpPort(); tftpPort != 0)
        std::fprintf(stderr, "serving %s over TFTP on port %u\n", parser.positionals()[0].c_str(),
                     static_cast<unsigned>(tftpPort));

    DropWarnings warnings(**server);
    waitForEnd(**server, parser.positionals()[0], duration, warnings);
    (*server)->stop();

    const serve::ServeSnapshot snapshot = (*server)->snapshot();
    std::fprintf(stderr, "%s\n", serve::summaryText(snapshot.counts, snapshot.hasSite).c_str());
    int status = kExitOk;
    if (const std::string logError = (*server)->logError(); !logError.empty()) {
        printError(logError);
        status = kExitFailure;
    }
    warnings.say();
    if (auto reportPath = parser.value("--report")) {
        auto written = report::writeReport(*reportPath, serve::statusTable(snapshot.phones));
        if (!written) return failWith(written.error());
    }
    return status;
}

}  // namespace

VELQUOR_REGISTER_COMMAND(
    kName,
    "serve DIR [--address ADDR] [--port N] [--tls-cert F --tls-key F [--phone-ca CA]...]\n"
    "      [--allow CIDR]...\n"
    "      [--sheet FILE] [--log FILE] [--report FILE.csv|.xlsx] [--for DURATION]\n"
    "      [--auth-file FILE] [--plain-files] [--no-auth]\n"
    "      [--tftp-port N [--tftp-blksize-max B] [--tftp-port-range A-B | --tftp-single-port]]\n"
    "  Serves the files of DIR to the phones over HTTP (HTTPS with --tls-cert and --tls-key,\n"
    "  PEM) on port N (8080; 0 picks a free one) of ADDR (every address; an IPv4 or IPv6\n"
    "  address, [::1], or a host name such as localhost). A name of the file-name pattern\n"
    "  ([devices] of velquor.conf, else {mac}.xml) gets that phone's file with its MAC in\n"
    "  any case and spelling; other files go by their exact name. A name asked under en/\n"
    "  gets the encrypted copy of DIR/en (or of DIR when it is an en folder) or 404. DIR is\n"
    "  found by its path at each request: while it is missing the phones get 503. Plain\n"
    "  files over plain HTTP when DIR/en holds their encrypted copies are refused: serve\n"
    "  DIR/en, or give --plain-files. Plain configuration files (XML, key=value lines) to an\n"
    "  address beyond loopback where no phone proves itself are refused: serve DIR/en, give\n"
    "  the phones' credentials, or --no-auth to serve them to anyone knowingly (a warning at\n"
    "  every start). An address that asks for names not its own is held back (403) for a\n"
    "  while that grows with each repeat; a network's unproven requests are then paced.\n"
    "  --phone-ca (PEM, repeatable: one per maker) asks every client for its certificate and\n"
    "  serves only those issued under one of the CAs and within their dates; a file named by\n"
    "  a MAC goes only to the certificate naming that MAC (its common name or an alternative\n"
    "  name, any spelling), others to any such certificate. The rest get 403.\n"
    "  --allow limits the peers to address ranges (repeatable; others get 403). Each request\n"
    "  is a tab-separated line on standard output and a record of the fetch log --log (CSV,\n"
    "  read back at start; refusals and unknown names counted per network every 10 s).\n"
    "  --sheet (a device sheet or MAC file) names the site's phones: waiting, fetched,\n"
    "  asked, not found, or unknown phone. A sheet with an http-password column (column A\n"
    "  the MACs) gives each phone its password: HTTP digest (SHA-256, MD5), the user the\n"
    "  phone's MAC, the realm velquor or --auth-file's. --auth-file (user:realm:HA1, as\n"
    "  htdigest writes it) gives users: one named by a MAC is that phone's and fetches its\n"
    "  file and files naming no phone; any other user fetches every file. With either, every\n"
    "  request proves its user (401, 403 for another phone's file). On Ctrl-C, SIGTERM or after\n"
    "  --for (90s, 15m, 2h) it prints the summary and writes --report, one row per phone.\n"
    "  --tftp-port serves DIR over TFTP too (read requests, octet and netascii; options\n"
    "  blksize, tsize, timeout, windowsize) by the same rules, each request a record of\n"
    "  method TFTP; blocks at most --tftp-blksize-max bytes (1468: no fragments). Transfers\n"
    "  go from ports of --tftp-port-range (a firewall's) or, with --tftp-single-port (NAT),\n"
    "  from the listening port. Port 69 needs privileges: give the phones a port above 1024\n"
    "  (DHCP option 66 tftp://HOST:PORT/), setcap the program, or use velquor-tftp.socket.",
    "serve a folder's files to the phones and report every fetch", runServe);

}  // namespace velquor::cli
