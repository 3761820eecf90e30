// The one line kestod writes on stderr per request or dropped connection: ISO time (UTC),
// peer, port, operation, user, MAC, reply and, for refusals, why. Texts from the wire are
// escaped so a crafted name cannot forge or split log lines; passwords never get here.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velquor::server {

struct LogEntry {
    std::string_view peer;
    std::uint16_t port = 0;
    std::string_view operation;
    std::string_view user;
    std::string_view mac;
    std::string_view reply;   // empty when the connection was closed without one
    std::string_view detail;  // why, for refusals and dropped connections
};

// "2026-12-08T01:02:03.456Z"
std::string isoTimestamp(std::chrono::system_clock::time_point time);

// Printable ASCII stays; backslash, quote and every other byte become \xNN.
std::string escapeForLog(std::string_view text);

// The text escapeForLog was given: each \xNN back to its byte, everything else as it is, so
// what a listing printed can be typed back.
std::string unescapeLogText(std::string_view escaped);

std::string formatLogLine(std::chrono::system_clock::time_point time, const LogEntry& entry);

// Writes the line (with its line feed) to stderr in one write, so lines of concurrent
// workers never interleave.
void writeLogLine(const std::string& line);

}  // namespace velquor::server
