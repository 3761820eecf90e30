// velquor-cli serve: serves a folder's files to the phones, prints one line per request and,
// at its end (Ctrl-C, SIGTERM or --for), the site's summary and its report.
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "report/report_file.h"
#include "serve/server/phone_server.h"
#include "serve/status/site_sheet.h"
#include "settings/kesto_settings.h"

namespace velquor::cli {
namespace {

constexpr const char* kName = "serve";
constexpr auto kOutputFlushInterval = std::chrono::milliseconds(250);

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

void printRecord(const serve::FetchRecord& record) {
    const std::string line =
        serve::formatLogTime(record.time) + '\t' + record.peer + '\t' + record.method + '\t' +
        record.path + '\t' + std::to_string(record.status) + '\t' + std::to_string(record.bytes) +
        '\t' + (record.mac.empty() ? "-" : record.mac) + '\t' +
        (record.file.empty() ? "-" : record.file) + '\t' + std::to_string(record.durationMs) +
        "ms\t" + (record.userAgent.empty() ? "-" : record.userAgent) + '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
}

support::Result<serve::ServeOptions> optionsFrom(const support::ArgParser& parser) {
    serve::ServeOptions options;
    options.folder = parser.positionals()[0];
    options.address = parser.value("--address").value_or("");
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
    for (const std::string& range : parser.values("--allow")) {
        auto parsed = serve::parsePeerRange(range);
        if (!parsed) return parsed.error();
        options.allowed.add(*parsed);
    }
    options.logFile = parser.value("--log").value_or("");
    options.plainFiles = parser.has("--plain-files");
    // The phones' files are named as Generate names them: [devices] file-name of velquor.conf.
    auto loaded = settings::loadSettings({});
    if (!loaded) return loaded.error();
    options.fileName = loaded->effective.fileName.value;
    if (auto sheet = parser.value("--sheet")) {
        auto site = serve::readSite(*sheet, interruptToken());
        if (!site) return site.error();
        options.site = std::move(*site);
    }
    return options;
}

// Serves until Ctrl-C, SIGTERM or the end of the duration; standard output is flushed on the
// way, so a reader of a pipe sees each request within a fraction of a second, and standard
// error says when the served folder goes missing and when it is back.
void waitForEnd(serve::PhoneServer& server, const std::filesystem::path& folder,
                std::optional<std::chrono::seconds> duration) {
    const auto end = duration ? std::chrono::steady_clock::now() + *duration
                              : std::chrono::steady_clock::time_point::max();
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    const std::stop_token stop = interruptToken();
    serve::FolderHealth health;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < end) {
        const auto next = std::min(end, std::chrono::steady_clock::now() + kOutputFlushInterval);
        wake.wait_until(lock, stop, next, [] { return false; });
        std::fflush(stdout);
        const serve::FolderHealth now = server.folderHealth();
        for (const support::Phrase& news : serve::folderNews(health, now, folder))
            printError("warning: " + news.english());
        health = now;
    }
    std::fflush(stdout);
}

int runServe(const std::vector<std::string>& args) {
    support::ArgParser parser({"--address", "--port", "--tls-cert", "--tls-key", "--allow",
                               "--sheet", "--log", "--report", "--for"},
                              {"--plain-files"});
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
    const std::string address = options->address;
    auto server = serve::PhoneServer::start(std::move(*options), printRecord);
    if (!server) return failWith(server.error());
    for (const support::Phrase& warning : (*server)->warnings())
        printError("warning: " + warning.english());
    for (const std::string& url :
         serve::serverUrls((*server)->port(), (*server)->usesTls(), address))
        std::fprintf(stderr, "serving %s on %s\n", parser.positionals()[0].c_str(), url.c_str());

    waitForEnd(**server, parser.positionals()[0], duration);
    (*server)->stop();
    std::fflush(stdout);

    const serve::ServeSnapshot snapshot = (*server)->snapshot();
    std::fprintf(stderr, "%s\n", serve::summaryText(snapshot.counts, snapshot.hasSite).c_str());
    int status = kExitOk;
    if (const std::string logError = (*server)->logError(); !logError.empty()) {
        printError(logError);
        status = kExitFailure;
    }
    if (auto reportPath = parser.value("--report")) {
        auto written = report::writeReport(*reportPath, serve::statusTable(snapshot.phones));
        if (!written) return failWith(written.error());
    }
    return status;
}

}  // namespace

VELQUOR_REGISTER_COMMAND(
    kName,
    "serve DIR [--address ADDR] [--port N] [--tls-cert F --tls-key F] [--allow CIDR]...\n"
    "      [--sheet FILE] [--log FILE] [--report FILE.csv|.xlsx] [--for DURATION]\n"
    "      [--plain-files]\n"
    "  Serves the files of DIR to the phones over HTTP (HTTPS with --tls-cert and --tls-key,\n"
    "  PEM) on port N (8080; 0 picks a free one) of ADDR (every address). A name of the\n"
    "  file-name pattern ([devices] of velquor.conf, else {mac}.xml) gets that phone's file\n"
    "  with its MAC in any case and spelling; other files go by their exact name. A name\n"
    "  asked under en/ gets the encrypted copy of DIR/en (or of DIR when it is an en folder)\n"
    "  or 404. DIR is found by its path at each request: while it is missing the phones get\n"
    "  503. Plain files over plain HTTP when DIR/en holds their encrypted copies are refused:\n"
    "  serve DIR/en, or give --plain-files.\n"
    "  --allow limits the peers to address ranges (repeatable; others get 403). Each request\n"
    "  is a tab-separated line on standard output and a record of the fetch log --log (CSV,\n"
    "  read back at start). --sheet (a device sheet or MAC file) names the site's phones:\n"
    "  waiting, fetched, asked, not found, or unknown phone. On Ctrl-C, SIGTERM or after\n"
    "  --for (90s, 15m, 2h) it prints the summary and writes --report, one row per phone.",
    "serve a folder's files to the phones and report every fetch", runServe);

}  // namespace velquor::cli
