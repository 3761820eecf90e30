// The fetch log: one record per request the phone server answered, appended to a CSV file that
// survives a restart and is read back to rebuild every phone's status. Each field is escaped so
// that it holds no comma, quote, line break or leading formula character: the one CSV writer
// then writes it unchanged, a record is one line, and a reader splits a line at its commas.
//
// The columns, in this order (the header line names them):
//   time         UTC, 2026-12-09T15:40:01.123Z
//   peer         the client's address (192.0.2.7, 2001:db8::7)
//   method       GET, HEAD, or the method refused
//   path         the path as asked (with its own %XX escapes), and %XX for a byte outside
//                printable ASCII, a space at either end, a comma, a quote or an apostrophe
//   mac          the canonical MAC (12 lower-case digits) the name asked holds, or empty
//   file         the name of the file served, or empty
//   status       the HTTP status sent
//   bytes        the bytes of the body sent (0 for HEAD, an error or an interrupted transfer)
//   duration_ms  from the request's headers to the end of the answer
//   completed    yes when the whole answer went out, no when the client left before
//   user_agent   the User-Agent cut at 256 bytes, escaped as the path and its % signs too
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace velquor::serve {

using Clock = std::chrono::system_clock;

// The User-Agent of the phone's-eye check's own requests: logged like any other, never taken
// for a phone's fetch (a check of the site through this server would otherwise mark every
// phone fetched).
inline constexpr std::string_view kPhoneCheckAgent = "velquor-phone-check";

struct FetchRecord {
    Clock::time_point time;
    std::string peer;
    std::string method;
    std::string path;  // escaped as written in the log
    std::string mac;   // canonical, or empty
    std::string file;
    int status = 0;
    std::uint64_t bytes = 0;
    std::uint32_t durationMs = 0;
    bool completed = false;
    std::string userAgent;  // escaped as written in the log

    // A GET answered 200 whose body went out whole: the phone has its file.
    bool fetched() const { return method == "GET" && status == 200 && completed; }
    // A request of the phone's-eye check, not of a phone.
    bool byPhoneCheck() const { return userAgent == kPhoneCheckAgent; }
};

// The header line's fields, in order.
const std::vector<std::string>& fetchLogColumns();

// The escaped form the log keeps of a path or a User-Agent: bytes outside printable ASCII, a
// comma, a quote, an apostrophe, a space at either end and a leading = + - @ become %XX, and
// so does a percent sign unless the text is a path as asked, whose % signs are its own
// escapes; cut at maxBytes (before escaping).
enum class Escaping { Text, RequestPath };
std::string escapeLogText(std::string_view text, std::size_t maxBytes,
                          Escaping escaping = Escaping::Text);
// The bytes a text with %XX escapes stands for (a % not followed by two hex digits stays).
std::string unescapeLogText(std::string_view text);

// 2026-12-09T15:40:01.123Z, and back (nothing for a text that is no such time).
std::string formatLogTime(Clock::time_point time);
bool parseLogTime(std::string_view text, Clock::time_point& time);

// One record as its log line, CRLF included.
std::string fetchLogLine(const FetchRecord& record);

// Every record of a fetch log, oldest first. A last line cut short (the server stopped in the
// middle of a write) is left out; a file that is no fetch log, or a line that is no record, is
// an error naming the file and the line.
support::Result<std::vector<FetchRecord>> readFetchLog(const std::filesystem::path& path);

// Appends records to a fetch log, creating it with its header line. Records are kept in memory
// and written by flush(), which the phone server calls at least every second and at its end;
// a write that fails is kept as the log's error and tried again at the next flush.
class FetchLogWriter {
public:
    FetchLogWriter() = default;
    ~FetchLogWriter();
    FetchLogWriter(const FetchLogWriter&) = delete;
    FetchLogWriter& operator=(const FetchLogWriter&) = delete;

    // Opens (or creates) the log for appending and returns the records it holds already. A
    // file that holds something else than a fetch log is refused rather than appended to; a
    // last line cut short is ended first.
    support::Result<std::vector<FetchRecord>> open(const std::filesystem::path& path);
    bool isOpen() const { return m_fd >= 0; }

    void append(const FetchRecord& record);
    // Writes what has been appended; the first failure's reason stays in error().
    support::Status flush();
    std::string error() const;

private:
    mutable std::mutex m_mutex;
    std::string m_pending;
    std::string m_error;
    std::filesystem::path m_path;
    int m_fd = -1;
};

}  // namespace velquor::serve
