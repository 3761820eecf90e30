// Writing and reading the fetch log; see fetch_log.h.
#include "serve/log/fetch_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include "report/csv_writer.h"
#include "support/input_file.h"

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr std::string_view kFormulaLeads = "=+-@";
// A log line longer than this is no record the server wrote: the path is bounded by the
// request's header bound and the User-Agent by 256 bytes, each at most three times escaped.
constexpr std::size_t kMaxLineBytes = 128 * 1024;

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

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma - start));
        if (comma == std::string_view::npos) return fields;
        start = comma + 1;
    }
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseRecord(std::string_view line, FetchRecord& record) {
    const std::vector<std::string_view> fields = splitFields(line);
    if (fields.size() != fetchLogColumns().size()) return false;
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
    return true;
}

std::string headerLine() {
    std::string line;
    for (const std::string& column : fetchLogColumns()) {
        if (!line.empty()) line += ',';
        line += column;
    }
    return line;
}

support::Error notAFetchLog(const std::filesystem::path& path, std::size_t line) {
    return makeError(ErrorCode::InvalidInput,
                     path.string() + ": line " + std::to_string(line) +
                         " is not a fetch log record; give another --log file");
}

}  // namespace

const std::vector<std::string>& fetchLogColumns() {
    static const std::vector<std::string> columns{"time",        "peer",      "method",    "path",
                                                  "mac",         "file",      "status",    "bytes",
                                                  "duration_ms", "completed", "user_agent"};
    return columns;
}

std::string escapeLogText(std::string_view text, std::size_t maxBytes, Escaping escaping) {
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
                                 record.userAgent};
    std::string line;
    for (const std::string& cell : cells) {
        if (!line.empty()) line += ',';
        line += report::csvField(cell);
    }
    line += "\r\n";
    return line;
}

// The log is read in large pieces, a line at a time, so a log of a long deployment never has
// to fit in memory twice.
support::Result<std::vector<FetchRecord>> readFetchLog(const std::filesystem::path& path) {
    auto input = support::InputFile::open(path.string());
    if (!input) return input.error();
    std::vector<FetchRecord> records;
    std::string buffer;
    std::size_t lineNumber = 0;
    std::vector<char> chunk(1 << 20);
    for (;;) {
        auto got = input->readFully(chunk.data(), chunk.size());
        if (!got) return got.error();
        buffer.append(chunk.data(), *got);
        std::size_t start = 0;
        for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos;
             start = end + 1) {
            std::string_view line(buffer.data() + start, end - start);
            ++lineNumber;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (lineNumber == 1) {
                if (line != headerLine()) return notAFetchLog(path, lineNumber);
                continue;
            }
            if (line.empty()) continue;
            FetchRecord record;
            if (line.size() > kMaxLineBytes || !parseRecord(line, record))
                return notAFetchLog(path, lineNumber);
            records.push_back(std::move(record));
        }
        buffer.erase(0, start);
        if (buffer.size() > kMaxLineBytes) return notAFetchLog(path, lineNumber + 1);
        // What is left after the end is a last line cut short: the server stopped mid-write.
        if (*got < chunk.size()) return records;
    }
}

FetchLogWriter::~FetchLogWriter() {
    if (m_fd >= 0) {
        (void)flush();
        ::close(m_fd);
    }
}

support::Result<std::vector<FetchRecord>> FetchLogWriter::open(const std::filesystem::path& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return makeError(ErrorCode::Io, "cannot open the fetch log " + path.string() + ": " +
                                            std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return makeError(ErrorCode::InvalidInput,
                         "the fetch log " + path.string() + " is not a regular file");
    }
    std::string start;
    std::vector<FetchRecord> records;
    if (info.st_size == 0) {
        start = headerLine() + "\r\n";
    } else {
        auto existing = readFetchLog(path);
        if (!existing) {
            ::close(fd);
            return existing.error();
        }
        records = std::move(*existing);
        char last = 0;
        if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') start = "\r\n";
    }
    std::lock_guard lock(m_mutex);
    m_fd = fd;
    m_path = path;
    m_pending = std::move(start);
    return records;
}

void FetchLogWriter::append(const FetchRecord& record) {
    std::string line = fetchLogLine(record);
    std::lock_guard lock(m_mutex);
    m_pending += line;
}

support::Status FetchLogWriter::flush() {
    std::string writing;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_pending.empty()) return {};
        writing.swap(m_pending);
    }
    std::size_t done = 0;
    while (done < writing.size()) {
        const ssize_t written = ::write(m_fd, writing.data() + done, writing.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const std::string reason = "cannot write the fetch log " + m_path.string() + ": " +
                                       std::strerror(written < 0 ? errno : EIO);
            std::lock_guard lock(m_mutex);
            // What was not written goes back in front of what came meanwhile.
            m_pending.insert(0, writing, done);
            if (m_error.empty()) m_error = reason;
            return makeError(ErrorCode::Io, reason);
        }
        done += static_cast<std::size_t>(written);
    }
    return {};
}

std::string FetchLogWriter::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

}  // namespace velquor::serve
