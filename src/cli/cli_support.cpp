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

int usageError(std::string_view command, std::string_view message) {
    printError(message);
    if (const Command* found = CommandRegistry::instance().find(command)) {
        std::cerr << "usage: velquor-cli " << found->usage << '\n';
    }
    return support::exitStatusFor(support::ErrorCode::Usage);
}

int batchExitStatus(bool succeeded, bool cancelled) {
    if (cancelled) return support::exitStatusFor(support::ErrorCode::Cancelled);
    return succeeded ? kExitOk : kExitFailure;
}

support::Result<std::string> keyFromOptions(const support::ArgParser& args) {
    const auto text = args.value("--key");
    const auto hex = args.value("--key-hex");
    if (text && hex) {
        return support::makeError(support::ErrorCode::InvalidInput,
                                  "give either --key or --key-hex, not both");
    }
    if (text) return *text;
    if (hex) {
        auto bytes = support::hexDecode(*hex);
        if (!bytes) {
            return support::makeError(support::ErrorCode::InvalidInput,
                                      "--key-hex: " + bytes.error().message);
        }
        return bytes;
    }
    return support::makeError(support::ErrorCode::InvalidInput,
                              "a key is needed: --key TEXT or --key-hex HEX");
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
