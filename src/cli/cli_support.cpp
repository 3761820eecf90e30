// Shared plumbing of velquor-cli sub-commands; see cli_support.h.
#include "cli/cli_support.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/command.h"

namespace velquor::cli {

ArgParser::ArgParser(std::set<std::string> valueOptions, std::set<std::string> flags,
                     std::map<std::string, std::string> shortAliases)
    : m_valueOptions(std::move(valueOptions)),
      m_flags(std::move(flags)),
      m_shortAliases(std::move(shortAliases)) {}

bool ArgParser::parse(const std::vector<std::string>& args) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            m_positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (!arg.starts_with("--")) {
            auto alias = m_shortAliases.find(arg);
            if (alias == m_shortAliases.end()) {
                m_error = "unknown option " + arg;
                return false;
            }
            arg = alias->second;
        }
        if (m_flags.contains(arg)) {
            if (inlineValue) {
                m_error = "option " + arg + " takes no value";
                return false;
            }
            m_seenFlags.insert(arg);
        } else if (m_valueOptions.contains(arg)) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    m_error = "option " + arg + " needs a value";
                    return false;
                }
                inlineValue = args[++i];
            }
            m_values[arg] = *inlineValue;
        } else {
            m_error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

bool ArgParser::has(const std::string& option) const {
    return m_seenFlags.contains(option) || m_values.contains(option);
}

std::optional<std::string> ArgParser::value(const std::string& option) const {
    auto found = m_values.find(option);
    if (found == m_values.end()) return std::nullopt;
    return found->second;
}

void printError(std::string_view message) {
    std::cerr << "velquor-cli: " << message << '\n';
}

int failWith(const support::Error& error) {
    printError(error.message);
    return kExitFailure;
}

int usageError(std::string_view command, std::string_view message) {
    printError(message);
    if (const Command* found = CommandRegistry::instance().find(command)) {
        std::cerr << "usage: velquor-cli " << found->usage << '\n';
    }
    return kExitUsage;
}

support::Result<std::string> decodeHex(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) {
        return support::makeError(support::ErrorCode::InvalidInput,
                                  "hexadecimal text has an odd number of digits");
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]);
        const int low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) {
            return support::makeError(support::ErrorCode::InvalidInput,
                                      "not a hexadecimal digit at position " +
                                          std::to_string(high < 0 ? i + 1 : i + 2));
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

support::Result<std::string> keyFromOptions(const ArgParser& args) {
    const auto text = args.value("--key");
    const auto hex = args.value("--key-hex");
    if (text && hex) {
        return support::makeError(support::ErrorCode::InvalidInput,
                                  "give either --key or --key-hex, not both");
    }
    if (text) return *text;
    if (hex) {
        auto bytes = decodeHex(*hex);
        if (!bytes) {
            return support::makeError(support::ErrorCode::InvalidInput,
                                      "--key-hex: " + bytes.error().message);
        }
        return bytes;
    }
    return support::makeError(support::ErrorCode::InvalidInput, "a key is needed: --key TEXT or --key-hex HEX");
}

void StderrReporter::report(std::string_view text, std::string_view caption) {
    if (caption.empty()) {
        std::cerr << "velquor-cli: " << text << '\n';
    } else {
        std::cerr << "velquor-cli: " << caption << ": " << text << '\n';
    }
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

extern "C" void onInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

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
