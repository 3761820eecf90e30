// A fetch log record and its line. The fetch log has one record per request the phone server
// answered (or one line standing for many refusals of a kind, see log_summary.h), appended to
// a CSV file that survives a restart and is read back to rebuild every phone's status. Each
// field is escaped so that it holds no comma, quote, line break or leading formula character:
// the one CSV writer then writes it unchanged, a record is one line, and a reader splits a line
// at its commas.
//
// The columns, in this order (the header line names them). A column may only ever be added at
// the end: a log written before it still reads, its lines taking the new column as empty.
//   time         UTC, 2026-12-09T15:40:01.123Z
//   peer         the client's address (192.0.2.7, 2001:db8::7); on a summary line its network
//                (192.0.2.0/24)
//   method       GET, HEAD, or the method refused; TFTP for a TFTP request (its status the
//                HTTP one of the same answer); * on a summary line
//   path         the path as asked (with its own %XX escapes), and %XX for a byte outside
//                printable ASCII, a space at either end, a comma, a quote or an apostrophe;
//                cut at 256 bytes with a mark saying how many more there were
//   mac          the canonical MAC (12 lower-case digits) the name asked holds, or empty
//   file         the name of the file served, or empty
//   status       the HTTP status sent
//   bytes        the bytes of the body sent: 0 for HEAD or an error; for an answer cut off,
//                what the client's side acknowledged of it
//   duration_ms  from the request's headers to the end of the answer
//   completed    yes when the whole answer went out, no when the client left before
//   user_agent   the User-Agent, escaped as the path and its % signs too, cut as the path
//   more         on a summary line, how many more requests of its kind (status and network)
//                came in its interval after the first, which has its own line; else empty
//   proof        how the asker was proven: cert:<mac> (its certificate named that MAC),
//                digest:<user> (it gave that user's password), none; empty in a log written
//                before the column, and on a summary line
//   refusal      why the asker was refused ("certificate names 001a2b3c4d5f, asked for
//                001a2b3c4d5e", "no certificate", "wrong user"), or empty
// The proof and the refusal hold what a client sent (its certificate's names, its user): they
// are escaped as the User-Agent is, and read back unescaped.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::serve {

using Clock = std::chrono::system_clock;

// The User-Agent of the phone's-eye check's own requests: logged like any other, never taken
// for a phone's fetch (a check of the site through this server would otherwise mark every
// phone fetched).
inline constexpr std::string_view kPhoneCheckAgent = "velquor-phone-check";

// How much of a path or a User-Agent a record keeps: a phone's are far shorter, and a flood of
// long ones cannot grow the log by more than this a line.
inline constexpr std::size_t kLoggedTextBytes = 256;

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
    std::string userAgent;   // escaped as written in the log
    std::uint64_t more = 0;  // on a summary line, the requests it stands for after the first
    std::string proof;       // how the asker was proven: cert:<mac>, digest:<user>, none
    std::string refusal;     // why the asker was refused, for the log and the status

    // A GET (or a TFTP read) answered 200 whose body went out whole: the phone has its file.
    bool fetched() const {
        return (method == "GET" || method == "TFTP") && status == 200 && completed;
    }
    // A request of the phone's-eye check, not of a phone.
    bool byPhoneCheck() const { return userAgent == kPhoneCheckAgent; }
    // A line that counts refusals rather than being one request.
    bool isSummary() const { return more > 0; }
};

// How a start ends a last line cut short (a crash, a full disk) before it appends: a quote
// ends no record's line, so the reader knows the line for what it is and leaves it out, where
// the part of a record might otherwise read as a whole one.
inline constexpr std::string_view kTornLineEnd = ",\"torn\"";

// The header line's fields, in order.
const std::vector<std::string>& fetchLogColumns();
// The header line, without its line end.
const std::string& fetchLogHeader();
// How many columns the first version of the log had: a log whose header names only these
// (or some of the later ones too) still reads, and is appended to.
inline constexpr std::size_t kFirstFetchLogColumns = 11;
// How many columns this version writes.
inline constexpr std::size_t kFetchLogColumns = 14;

// The escaped form the log keeps of a path or a User-Agent: bytes outside printable ASCII, a
// comma, a quote, an apostrophe, a space at either end and a leading = + - @ become %XX, and
// so does a percent sign unless the text is a path as asked, whose % signs are its own
// escapes. A text longer than maxBytes is cut there (before escaping) and ends with the mark
// " [+N bytes cut]".
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
// A line (without its line end) back into record, reusing its strings; false when the line is
// no record.
bool parseFetchLogLine(std::string_view line, FetchRecord& record);

}  // namespace velquor::serve
