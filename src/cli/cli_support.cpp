// Shared plumbing of velquor-cli sub-commands; see cli_support.h.
#include "cli/cli_support.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/command.h"
#include "cli/secret_input.h"
#include "crypto/aes.h"
#include "support/hex.h"

namespace velquor::cli {

void printError(std::string_view message) {
    std::cerr << "velquor-cli: " << message << '\n';
}

int failWith(const support::Error& error) {
    printError(error.message);
    // A read or write cut short by Ctrl-C fails with whatever the system said (EINTR); the
    // user asked for the stop, so it is still an interruption.
    return support::exitStatusFor(interruptRequested() ? support::ErrorCode::Cancelled
                                                       : error.code);
}

namespace {

// A usage text is its synopsis, the first line and the continuation lines aligned under it
// (indented by three spaces or more), then its description, which may be indented by two
// spaces, a heading such as "commands:" or plain prose.
std::size_t synopsisLength(std::string_view usage) {
    for (std::size_t at = usage.find('\n'); at != std::string_view::npos;
         at = usage.find('\n', at + 1)) {
        const std::string_view rest = usage.substr(at + 1);
        if (!rest.starts_with("   ")) return at + 1;
    }
    return usage.size();
}

}  // namespace

int usageError(std::string_view command, std::string_view message) {
    printError(message);
    if (const Command* found = CommandRegistry::instance().find(command)) {
        // The synopsis only: the option descriptions are for --help, not for a mistake.
        const std::string_view usage = found->usage;
        const std::string_view synopsis = usage.substr(0, synopsisLength(usage));
        std::cerr << "usage: velquor-cli " << synopsis;
        if (!synopsis.ends_with('\n')) std::cerr << '\n';
        if (synopsis.size() < usage.size()) {
            std::cerr << "'velquor-cli " << command << " --help' tells more.\n";
        }
    }
    return support::exitStatusFor(support::ErrorCode::Usage);
}

int batchExitStatus(bool succeeded, bool cancelled) {
    if (cancelled) return support::exitStatusFor(support::ErrorCode::Cancelled);
    return succeeded ? kExitOk : kExitFailure;
}

std::set<std::string> withKeyOptions(std::set<std::string> options) {
    options.insert({"--key", "--key-hex", "--key-file", "--key-env"});
    return options;
}

bool keyGiven(const support::ArgParser& args) {
    return args.has("--key") || args.has("--key-hex") || args.has("--key-file") ||
           args.has("--key-env");
}

namespace {

constexpr char kKeyWhat[] = "key";

support::Result<std::string> askKey(KeyPrompt prompt) {
    auto first = askSecret("AES key: ");
    if (!first && first.error().code == support::ErrorCode::Unsupported) {
        return support::makeError(support::ErrorCode::Usage,
                                  "a key is needed: --key-file F, --key-env NAME, --key TEXT or "
                                  "--key-hex HEX (or run on a terminal to type it)");
    }
    if (!first || prompt != KeyPrompt::Confirmed) return first;
    auto second = askSecret("AES key again: ");
    if (!second) return second;
    if (*second != *first) {
        return support::makeError(support::ErrorCode::InvalidInput, "the two keys typed differ");
    }
    return first;
}

}  // namespace

support::Result<std::string> keyFromOptions(const support::ArgParser& args, KeyPrompt prompt) {
    const int given =
        static_cast<int>(args.has("--key")) + static_cast<int>(args.has("--key-hex")) +
        static_cast<int>(args.has("--key-file")) + static_cast<int>(args.has("--key-env"));
    if (given > 1) {
        return support::makeError(support::ErrorCode::Usage,
                                  "give one of --key, --key-hex, --key-file and --key-env");
    }
    if (const auto text = args.value("--key")) return *text;
    if (const auto file = args.value("--key-file")) return readSecretFile(*file, kKeyWhat);
    if (const auto name = args.value("--key-env")) return readSecretEnvironment(*name, kKeyWhat);
    if (const auto hex = args.value("--key-hex")) {
        auto bytes = support::hexDecode(*hex);
        if (!bytes) {
            return support::makeError(support::ErrorCode::Usage,
                                      "--key-hex: " + bytes.error().message);
        }
        return bytes;
    }
    if (prompt == KeyPrompt::Never) {
        return support::makeError(support::ErrorCode::Usage,
                                  "a key is needed: --key-file F, --key-env NAME, --key TEXT or "
                                  "--key-hex HEX");
    }
    return askKey(prompt);
}

int keyFailure(std::string_view command, const support::Error& error) {
    if (error.code == support::ErrorCode::Usage) return usageError(command, error.message);
    return failWith(support::makeError(error.code, std::string(command) + ": " + error.message));
}

void warnAboutKey(std::string_view key) {
    if (key.empty()) {
        printError("warning: the key is empty: the all-zero key is used");
    } else if (key.size() > crypto::kKeyBytes) {
        printError("warning: the key is " + std::to_string(key.size()) +
                   " bytes long; only its first 16 bytes are used");
    }
}

void StderrReporter::report(std::string_view text, std::string_view caption) {
    reportWithDetail(text, caption, {});
}

void StderrReporter::reportWithDetail(std::string_view text, std::string_view caption,
                                      std::string_view detail) {
    std::cerr << "velquor-cli: ";
    if (!caption.empty()) std::cerr << caption << ": ";
    std::cerr << text;
    if (!detail.empty()) std::cerr << " (" << detail << ")";
    std::cerr << '\n';
}

namespace {

std::uint64_t nowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

TerminalProgress::TerminalProgress() : m_enabled(::isatty(STDERR_FILENO) == 1) {}

TerminalProgress::~TerminalProgress() {
    if (m_drawn) std::cerr << '\n';
}

void TerminalProgress::progress(std::uint64_t done, std::uint64_t total, std::string_view what) {
    if (!m_enabled) return;
    const auto now = nowMs();
    if (done != total && now - m_lastDrawMs < 100) return;
    m_lastDrawMs = now;
    m_drawn = true;
    std::cerr << '\r' << what << ' ' << done;
    if (total > 0) std::cerr << '/' << total << " (" << (done * 100 / total) << "%)";
    std::cerr << "\x1b[K" << std::flush;
}

namespace {

int g_signalPipe[2] = {-1, -1};
// Set by the handler itself, so that it is visible before the watcher thread has run.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

bool interruptRequested() {
    return g_interrupted.load();
}

std::stop_token interruptToken() {
    // The handler only writes to a pipe; a watcher thread turns that into request_stop(),
    // which is not safe to call from a signal handler.
    static std::stop_source source;
    static std::once_flag installed;
    std::call_once(installed, [] {
        if (::pipe(g_signalPipe) != 0) return;
        std::thread([] {
            char byte = 0;
            while (::read(g_signalPipe[0], &byte, 1) < 0) {
            }
            source.request_stop();
        }).detach();
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    });
    return source.get_token();
}

}  // namespace velquor::cli
