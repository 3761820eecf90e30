// Reading a fetch log back; see fetch_log_reader.h.
#include "serve/log/fetch_log_reader.h"

#include <algorithm>
#include <string>

#include "support/input_file.h"

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;

namespace {

// A log line longer than this is no record the server wrote: every field is bounded. Logs
// written before paths were cut at kLoggedTextBytes hold paths of up to the request's bound
// (16 KiB), at most three times escaped.
constexpr std::size_t kMaxLineBytes = 128 * 1024;
constexpr std::size_t kPieceBytes = 1 << 20;

support::Error notAFetchLog(const std::filesystem::path& path, std::uint64_t line) {
    return makeError(ErrorCode::InvalidInput,
                     path.string() + ": line " + std::to_string(line) +
                         " is not a fetch log record; give another --log file");
}

// The header of this version, or of an earlier one that named fewer columns.
bool isFetchLogHeader(std::string_view line) {
    const std::string& header = fetchLogHeader();
    if (line.size() > header.size() || header.compare(0, line.size(), line) != 0) return false;
    if (line.size() < header.size() && header[line.size()] != ',') return false;
    const auto commas = static_cast<std::size_t>(std::count(line.begin(), line.end(), ','));
    return commas + 1 >= kFirstFetchLogColumns;
}

}  // namespace

support::Result<FetchLogShape> readFetchLog(const std::filesystem::path& path,
                                            const RecordVisitor& visit) {
    auto input = support::InputFile::open(path.string());
    if (!input) return input.error();
    FetchLogShape shape;
    FetchRecord record;
    std::string buffer;
    std::uint64_t lineNumber = 0;
    std::string piece(kPieceBytes, '\0');
    for (;;) {
        auto got = input->readFully(piece.data(), piece.size());
        if (!got) return got.error();
        buffer.append(piece.data(), *got);
        std::size_t start = 0;
        for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos;
             start = end + 1) {
            std::string_view line(buffer.data() + start, end - start);
            ++lineNumber;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (lineNumber == 1) {
                if (!isFetchLogHeader(line)) return notAFetchLog(path, lineNumber);
                continue;
            }
            if (line.empty()) continue;
            if (line.ends_with(kTornLineEnd)) {
                ++shape.tornLines;
                continue;
            }
            if (line.size() > kMaxLineBytes || !parseFetchLogLine(line, record))
                return notAFetchLog(path, lineNumber);
            ++shape.records;
            visit(record);
        }
        buffer.erase(0, start);
        if (buffer.size() > kMaxLineBytes) return notAFetchLog(path, lineNumber + 1);
        if (*got < piece.size()) {
            // What is left after the last line end is a line cut short: the server stopped
            // mid-write. A file with no line at all is no log of ours either.
            if (lineNumber == 0 && !buffer.empty()) return notAFetchLog(path, 1);
            shape.lastLineOpen = !buffer.empty();
            return shape;
        }
    }
}

support::Result<std::vector<FetchRecord>> readFetchLog(const std::filesystem::path& path) {
    std::vector<FetchRecord> records;
    auto read = readFetchLog(path, [&](const FetchRecord& record) { records.push_back(record); });
    if (!read) return read.error();
    return records;
}

}  // namespace velquor::serve
