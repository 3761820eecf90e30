// A fetch log record and its line; see fetch_record.h.
#include "serve/log/fetch_record.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "report/csv_writer.h"

namespace velquor::serve {

namespace {

constexpr std::string_view kFormulaLeads = "=+-@";

bool needsEscape(unsigned char c, std::size_t index, std::size_t size, Escaping escaping) {
    if (c < 0x20 || c >= 0x7f || c == ',' || c == '"' || c == '\'') return true;
    if (c == '%') return escaping == Escaping::Text;
    if (c == ' ' && (index == 0 || index + 1 == size)) return true;
    return index == 0 && kFormulaLeads.find(static_cast<char>(c)) != std::string_view::npos;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The line's fields into fields; false when it has fewer than the first version's columns or
// more than there are.
using LineFields = std::array<std::string_view, kFetchLogColumns>;
bool splitFields(std::string_view line, LineFields& fields, std::size_t& count) {
    count = 0;
    std::size_t start = 0;
    for (;;) {
        if (count == fields.size()) return false;
        const std::size_t comma = line.find(',', start);
        fields[count++] = line.substr(start, comma - start);
        if (comma == std::string_view::npos) return count >= kFirstFetchLogColumns;
        start = comma + 1;
    }
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

const std::vector<std::string>& fetchLogColumns() {
    static const std::vector<std::string> columns{
        "time",  "peer",        "method",    "path",       "mac",  "file",  "status",
        "bytes", "duration_ms", "completed", "user_agent", "more", "proof", "refusal"};
    return columns;
}

const std::string& fetchLogHeader() {
    static const std::string header = [] {
        std::string line;
        for (const std::string& column : fetchLogColumns()) {
            if (!line.empty()) line += ',';
            line += column;
        }
        return line;
    }();
    return header;
}

std::string escapeLogText(std::string_view text, std::size_t maxBytes, Escaping escaping) {
    const std::size_t cut = text.size() > maxBytes ? text.size() - maxBytes : 0;
    text = text.substr(0, maxBytes);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (needsEscape(c, i, text.size(), escaping)) {
            escaped += '%';
            escaped += kDigits[c >> 4];
            escaped += kDigits[c & 0xf];
        } else {
            escaped += static_cast<char>(c);
        }
    }
    // Written after the escaping, so no text a client sends can end the same way unescaped.
    if (cut > 0) escaped += " [+" + std::to_string(cut) + " bytes cut]";
    return escaped;
}

std::string unescapeLogText(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::string formatLogTime(Clock::time_point time) {
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds);
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm parts{};
    gmtime_r(&whole, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis.count()));
    return text;
}

bool parseLogTime(std::string_view text, Clock::time_point& time) {
    // YYYY-MM-DDTHH:MM:SS.mmmZ
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != '.' || text[23] != 'Z')
        return false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!parseNumber(text.substr(0, 4), year) || !parseNumber(text.substr(5, 2), month) ||
        !parseNumber(text.substr(8, 2), day) || !parseNumber(text.substr(11, 2), hour) ||
        !parseNumber(text.substr(14, 2), minute) || !parseNumber(text.substr(17, 2), second) ||
        !parseNumber(text.substr(20, 3), millis))
        return false;
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60) return false;
    time = Clock::time_point(std::chrono::sys_days(date).time_since_epoch() +
                             std::chrono::hours(hour) + std::chrono::minutes(minute) +
                             std::chrono::seconds(second) + std::chrono::milliseconds(millis));
    return true;
}

std::string fetchLogLine(const FetchRecord& record) {
    const std::string cells[] = {formatLogTime(record.time),
                                 escapeLogText(record.peer, 64),
                                 escapeLogText(record.method, 32),
                                 record.path,
                                 record.mac,
                                 escapeLogText(record.file, 255),
                                 std::to_string(record.status),
                                 std::to_string(record.bytes),
                                 std::to_string(record.durationMs),
                                 record.completed ? "yes" : "no",
                                 record.userAgent,
                                 record.more > 0 ? std::to_string(record.more) : "",
                                 escapeLogText(record.proof, kLoggedTextBytes),
                                 escapeLogText(record.refusal, kLoggedTextBytes)};
    static_assert(std::size(cells) == kFetchLogColumns);
    std::string line;
    for (const std::string& cell : cells) {
        if (!line.empty()) line += ',';
        line += report::csvField(cell);
    }
    line += "\r\n";
    return line;
}

bool parseFetchLogLine(std::string_view line, FetchRecord& record) {
    LineFields fields;
    std::size_t count = 0;
    if (!splitFields(line, fields, count)) return false;
    if (!parseLogTime(fields[0], record.time)) return false;
    record.peer = fields[1];
    record.method = fields[2];
    record.path = fields[3];
    record.mac = fields[4];
    record.file = fields[5];
    if (!parseNumber(fields[6], record.status) || !parseNumber(fields[7], record.bytes) ||
        !parseNumber(fields[8], record.durationMs))
        return false;
    if (fields[9] != "yes" && fields[9] != "no") return false;
    record.completed = fields[9] == "yes";
    record.userAgent = fields[10];
    record.more = 0;
    if (count > 11 && !fields[11].empty() && !parseNumber(fields[11], record.more)) return false;
    // Columns a log written before them lacks read as empty.
    record.proof = count > 12 ? unescapeLogText(fields[12]) : std::string();
    record.refusal = count > 13 ? unescapeLogText(fields[13]) : std::string();
    return true;
}

}  // namespace velquor::serve
