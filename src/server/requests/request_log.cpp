// Formatting and writing of kestod's per-request log lines; see request_log.h.
#include "server/requests/request_log.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "support/hex.h"

namespace velquor::server {

std::string isoTimestamp(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm parts{};
    ::gmtime_r(&whole, &parts);
    char buffer[40];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &parts);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis));
    return std::string(buffer, length) + fraction;
}

std::string escapeForLog(std::string_view text) {
    // A quote or backslash from a client could otherwise close a quoted field or fake an
    // escape in the line a reader parses.
    return support::escapeNonPrintable(text, "\\\"");
}

std::string unescapeLogText(std::string_view escaped) {
    const auto hexValue = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string text;
    text.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 3 < escaped.size() && escaped[i + 1] == 'x' &&
            hexValue(escaped[i + 2]) >= 0 && hexValue(escaped[i + 3]) >= 0) {
            text.push_back(
                static_cast<char>(hexValue(escaped[i + 2]) * 16 + hexValue(escaped[i + 3])));
            i += 3;
        } else {
            text.push_back(escaped[i]);
        }
    }
    return text;
}

std::string formatLogLine(std::chrono::system_clock::time_point time, const LogEntry& entry) {
    std::string line = isoTimestamp(time);
    line += " peer=" + std::string(entry.peer);
    line += " port=" + std::to_string(entry.port);
    line += " op=" + (entry.operation.empty() ? std::string("-") : escapeForLog(entry.operation));
    line += " user=\"" + escapeForLog(entry.user) + '"';
    line += " mac=\"" + escapeForLog(entry.mac) + '"';
    line += " reply=" + (entry.reply.empty() ? std::string("none") : std::string(entry.reply));
    if (!entry.detail.empty()) line += " (" + escapeForLog(entry.detail) + ')';
    return line;
}

void writeLogLine(const std::string& line) {
    std::string out = line;
    out += '\n';
    std::size_t written = 0;
    while (written < out.size()) {
        const ssize_t n = ::write(STDERR_FILENO, out.data() + written, out.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace velquor::server
