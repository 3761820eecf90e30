// Delimited text: one record per line, fields split at the separator outside quotes, a doubled
// quote inside a quoted field standing for one quote. Fields are taken as they are written.
#include "sheet/csv_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <thread>
#include <vector>

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;
using support::Phrase;

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::size_t kSampleLines = 20;

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Text saved as "Unicode text" carries a UTF-16 byte-order mark; everything else is UTF-8.
support::Result<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) {
        return makeError(
            ErrorCode::InvalidInput,
            Phrase{VELQUOR_TR_NOOP("core", "the UTF-16 text ends in half a character")});
    }
    std::string out;
    out.reserve(bytes.size());
    auto unitAt = [&](std::size_t i) {
        const auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
        const auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
        return static_cast<std::uint32_t>(hi << 8 | lo);
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (unit >= 0xD800 && unit < 0xE000) {
            return makeError(
                ErrorCode::InvalidInput,
                Phrase{VELQUOR_TR_NOOP("core", "the UTF-16 text holds a broken surrogate pair")});
        }
        appendUtf8(out, unit);
    }
    return out;
}

constexpr std::size_t kBytesBetweenStopChecks = std::size_t{1} << 20;

// Returns the offset of the first byte that is not part of valid UTF-8, or npos. A stop
// request ends the scan with nullopt.
std::optional<std::size_t> firstInvalidUtf8(std::string_view text, const std::stop_token& stop) {
    std::size_t i = 0;
    std::size_t nextStopCheck = 0;
    while (i < text.size()) {
        if (i >= nextStopCheck) {
            if (stop.stop_requested()) return std::nullopt;
            nextStopCheck = i + kBytesBetweenStopChecks;
        }
        // Eight bytes of ASCII, a sheet's usual text, at a time.
        if (std::uint64_t word = 0; i + sizeof word <= text.size()) {
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                i += sizeof word;
                continue;
            }
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            cp = c & 0x07;
        } else {
            return i;
        }
        if (i + length > text.size()) return i;
        for (std::size_t k = 1; k < length; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (cc & 0x3F);
        }
        const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return i;
        i += length;
    }
    return std::string_view::npos;
}

// The line breaks between from and to: a line ends at \n, \r\n or a lone \r. Each kind of
// break is found by memchr, since a file holds about one a record.
std::size_t lineBreaks(std::string_view text, std::size_t from, std::size_t to) {
    const std::string_view range = text.substr(0, std::min(to, text.size()));
    std::size_t breaks = 0;
    for (std::size_t at = range.find('\n', from); at != std::string_view::npos;
         at = range.find('\n', at + 1)) {
        ++breaks;
    }
    for (std::size_t at = range.find('\r', from); at != std::string_view::npos;
         at = range.find('\r', at + 1)) {
        if (at + 1 == text.size() || text[at + 1] != '\n') ++breaks;
    }
    return breaks;
}

// The line of the text that offset lies on, the first being 1.
int lineOfOffset(std::string_view text, std::size_t offset) {
    return 1 + static_cast<int>(lineBreaks(text, 0, offset));
}

// Where a piece of the text begins: the record and the line it starts with (1 for the whole
// text), so that what is said of it names the record and line of the whole file.
struct Position {
    int row = 1;
    int line = 1;
};

support::Error unclosedQuote(std::string_view text, std::size_t quoteAt, int firstLine) {
    return makeError(ErrorCode::InvalidInput,
                     Phrase{VELQUOR_TR_NOOP("core", "line %1: quoted field never closed"),
                            {std::to_string(firstLine - 1 + lineOfOffset(text, quoteAt))}});
}

// UTF-8 needs at most 4 bytes a character: past that many bytes a field is too long for sure,
// and it is refused before more of it is copied.
constexpr std::size_t kMaxCellBytes = 4 * kMaxCellCharacters;

std::size_t utf8Characters(std::string_view text) {
    std::size_t characters = 0;
    for (const char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return characters;
}

support::Status cellTooLong(int row, int column) {
    //: %1 is a record (a line), %2 a field's number in it, %3 a number of characters
    return makeError(
        ErrorCode::TooLarge,
        Phrase{VELQUOR_TR_NOOP("core",
                               "record %1, field %2 holds more than %3 "
                               "characters, more than a spreadsheet cell can "
                               "hold"),
               {std::to_string(row), std::to_string(column), std::to_string(kMaxCellCharacters)}});
}

// The end of an unquoted run of text starting at from: the next separator or line break.
std::size_t endOfRun(std::string_view text, std::size_t from, char separator) {
    // A plain loop: find_first_of looks each character up in the set with a call of its own.
    std::size_t end = from;
    while (end < text.size() && text[end] != separator && text[end] != '\n' && text[end] != '\r') {
        ++end;
    }
    return end;
}

// A quoted field from its opening quote at i: the text between the quotes, with a doubled
// quote standing for one and a line break inside the cell as one line feed. The text is a view
// of the file where nothing needs changing, else it is built in scratch. i ends past the
// closing quote; nullopt when there is none.
std::optional<std::string_view> quotedField(std::string_view text, std::size_t& i,
                                            std::string& scratch) {
    const std::size_t begin = ++i;
    std::size_t end = text.find('"', begin);
    // Most quoted fields hold no doubled quote and no CR LF: they are taken as they are.
    if (end != std::string_view::npos && (end + 1 == text.size() || text[end + 1] != '"') &&
        text.substr(begin, end - begin).find("\r\n") == std::string_view::npos) {
        i = end + 1;
        return text.substr(begin, end - begin);
    }
    scratch.clear();
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                scratch += '"';
                i += 2;
                continue;
            }
            ++i;
            return std::string_view(scratch);
        }
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;  // a line break inside a cell is one line feed
            continue;
        }
        scratch += c;
        ++i;
        if (scratch.size() > kMaxCellBytes) return std::string_view(scratch);
    }
    return std::nullopt;
}

// Walks records and fields. onField(row, column, text) for every field, in order. A quoted
// field still open at the end of the text is an error, reported before its field is handed on,
// and so is a field longer than a cell can be. The text's first record is at.row; a text that
// ends with a line break leaves at.row at the record that would follow.
template <typename OnField>
support::Status splitRecords(std::string_view text, char separator, std::size_t maxRecords,
                             OnField&& onField, Position& at) {
    std::size_t i = 0;
    int& row = at.row;
    int column = 1;
    std::string scratch;
    std::string joined;
    const std::size_t n = text.size();
    while (i < n && static_cast<std::size_t>(row) <= maxRecords) {
        std::string_view field;
        if (text[i] == '"') {
            const std::size_t quoteAt = i;
            const auto quoted = quotedField(text, i, scratch);
            if (quoted && quoted->size() > kMaxCellBytes) return cellTooLong(row, column);
            if (!quoted) return unclosedQuote(text, quoteAt, at.line);
            field = *quoted;
        }
        // Unquoted text, or what follows a closing quote, up to the separator or line end.
        const std::size_t end = endOfRun(text, i, separator);
        if (end > i) {
            if (field.size() + (end - i) > kMaxCellBytes) return cellTooLong(row, column);
            if (field.empty()) {
                field = text.substr(i, end - i);
            } else {
                joined.assign(field);
                joined.append(text.substr(i, end - i));
                field = joined;
            }
        }
        i = end;
        if (field.size() > kMaxCellCharacters && utf8Characters(field) > kMaxCellCharacters) {
            return cellTooLong(row, column);
        }
        if (auto status = onField(row, column, field); !status) return status;
        if (i >= n) break;
        if (text[i] == separator) {
            ++i;
            ++column;
            if (i == n) {
                if (auto status = onField(row, column, std::string_view()); !status) return status;
            }
            continue;
        }
        // A line break: \r\n, \n or a lone \r.
        if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
        ++i;
        ++row;
        column = 1;
    }
    return {};
}

}  // namespace

char detectSeparator(std::string_view text) {
    constexpr std::array<char, 3> candidates{',', ';', '\t'};
    std::array<std::vector<int>, 3> counts;  // per candidate, fields per record
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        Position start;
        (void)splitRecords(
            text, candidates[c], kSampleLines,
            [&](int row, int column, std::string_view) -> support::Status {
                auto& perRow = counts[c];
                if (perRow.size() < static_cast<std::size_t>(row)) perRow.resize(row);
                perRow[row - 1] = column;
                return {};
            },
            start);
    }
    // The best separator splits the first record, and splits the most records the same way.
    char best = ',';
    int bestConsistent = 0;
    int bestFirst = 1;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        const auto& perRow = counts[c];
        if (perRow.empty() || perRow.front() < 2) continue;
        int consistent = 0;
        for (int fields : perRow) consistent += fields == perRow.front() ? 1 : 0;
        if (consistent > bestConsistent ||
            (consistent == bestConsistent && perRow.front() > bestFirst)) {
            best = candidates[c];
            bestConsistent = consistent;
            bestFirst = perRow.front();
        }
    }
    return best;
}

namespace {

// The text of delimited bytes: UTF-16 with a byte-order mark converted, UTF-8's mark left out.
support::Result<std::string_view> decodedText(std::string_view bytes, std::string& converted) {
    std::string_view text = bytes;
    if (bytes.size() >= 2 &&
        (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF")) {
        auto utf8 = utf16ToUtf8(bytes.substr(2), bytes[0] == '\xFE');
        if (!utf8) return utf8.error();
        converted = std::move(*utf8);
        text = converted;
    } else if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        text.remove_prefix(kUtf8Bom.size());
    }
    return text;
}

// Whole records of the text (a piece of the file that starts at at) into data; at is left at
// the record and line that follow.
support::Status readRecords(std::string_view text, char separator, Position& at, SheetData& data,
                            const std::stop_token& stop) {
    const std::optional<std::size_t> bad = firstInvalidUtf8(text, stop);
    if (!bad) return readingCancelled();
    if (*bad != std::string_view::npos) {
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core",
                                                "line %1 is not UTF-8 text; save the file as CSV "
                                                "UTF-8"),
                                {std::to_string(at.line - 1 + lineOfOffset(text, *bad))}});
    }
    if (text.find('\0') != std::string_view::npos) {
        return makeError(
            ErrorCode::InvalidInput,
            Phrase{VELQUOR_TR_NOOP("core", "line %1 holds a NUL byte; this is not a text file"),
                   {std::to_string(at.line - 1 + lineOfOffset(text, text.find('\0')))}});
    }
    std::size_t fields = 0;
    const int nextLine = at.line - 1 + lineOfOffset(text, text.size());
    auto status = splitRecords(
        text, separator, static_cast<std::size_t>(-1),
        [&](int row, int column, std::string_view field) -> support::Status {
            if (++fields % kCellsBetweenStopChecks == 0 && stop.stop_requested()) {
                return readingCancelled();
            }
            if (field.empty()) return {};
            if (row > kMaxRows || column > kMaxColumns) {
                return makeError(
                    ErrorCode::TooLarge,
                    Phrase{VELQUOR_TR_NOOP("core",
                                           "record %1, field %2 lies past the last row "
                                           "(1048576) or column (16384) a sheet can "
                                           "hold"),
                           {std::to_string(row), std::to_string(column)}});
            }
            return data.addText(row, column, field, 0);
        },
        at);
    at.line = nextLine;
    return status;
}

// Finds where the last whole record of a text ends, looking at each byte once however many
// times the text grows: the fields' quotes are followed as splitRecords reads them.
class RecordEnds {
public:
    explicit RecordEnds(char separator) : m_separator(separator) {}

    // Just past the line break of the last record that ends within text; 0 when none does.
    // A carriage return as the text's last byte waits for the next byte (it may start CRLF).
    std::size_t lastEnd(std::string_view text) {
        // Quotes are followed byte by byte; past the last one, every line break ends a record
        // unless a quoted field is still open.
        const void* lastQuote = m_next < text.size()
                                    ? ::memrchr(text.data() + m_next, '"', text.size() - m_next)
                                    : nullptr;
        const std::size_t quotesEnd =
            lastQuote == nullptr ? m_next : static_cast<const char*>(lastQuote) - text.data() + 1;
        if (!follow(text, quotesEnd)) return m_lastEnd;
        if (m_state == State::Quoted) {
            m_next = text.size();
        } else {
            skipToLastBreak(text);
        }
        return m_lastEnd;
    }

    // The records that ended so far.
    std::size_t records() const { return m_records; }

    // The first cut bytes are gone from the front of the text.
    void dropped(std::size_t cut) {
        m_next -= cut;
        m_lastEnd -= cut;
    }

private:
    // Follows the fields up to upTo; false when a byte there must wait for the next one.
    bool follow(std::string_view text, std::size_t upTo) {
        for (; m_next < upTo; ++m_next) {
            const char c = text[m_next];
            if (m_state == State::Quoted) {
                if (c != '"') continue;
                if (m_next + 1 == text.size()) return false;  // a doubled quote or the closing one
                if (text[m_next + 1] == '"') {
                    ++m_next;
                } else {
                    m_state = State::Unquoted;
                }
            } else if (c == m_separator) {
                m_state = State::FieldStart;
            } else if (c == '\n') {
                m_state = State::FieldStart;
                m_lastEnd = m_next + 1;
                ++m_records;
            } else if (c == '\r') {
                if (m_next + 1 == text.size()) return false;
                m_state = State::FieldStart;
                if (text[m_next + 1] == '\n') ++m_next;
                m_lastEnd = m_next + 1;
                ++m_records;
            } else if (c == '"' && m_state == State::FieldStart) {
                m_state = State::Quoted;
            } else {
                m_state = State::Unquoted;
            }
        }
        return true;
    }

    // The rest of the text holds no quote: its last line break ends the last record.
    void skipToLastBreak(std::string_view text) {
        std::size_t end = text.size();
        if (end > m_next && text[end - 1] == '\r') --end;
        if (end == m_next) return;
        const char* from = text.data() + m_next;
        const auto* lineFeed = static_cast<const char*>(::memrchr(from, '\n', end - m_next));
        const auto* carriageReturn = static_cast<const char*>(::memrchr(from, '\r', end - m_next));
        const char* lastBreak = lineFeed == nullptr         ? carriageReturn
                                : carriageReturn == nullptr ? lineFeed
                                                            : std::max(lineFeed, carriageReturn);
        if (lastBreak != nullptr) {
            m_lastEnd = static_cast<std::size_t>(lastBreak - text.data()) + 1;
            m_records += lineBreaks(text, m_next, m_lastEnd);
        }
        const char last = text[end - 1];
        m_state = last == m_separator || last == '\n' || last == '\r' ? State::FieldStart
                                                                      : State::Unquoted;
        m_next = end;
    }

    enum class State { FieldStart, Unquoted, Quoted };
    char m_separator;
    State m_state = State::FieldStart;
    std::size_t m_next = 0;
    std::size_t m_lastEnd = 0;
    std::size_t m_records = 0;
};

constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

}  // namespace

support::Status readDelimitedText(std::string_view bytes, SheetData& data, std::stop_token stop) {
    std::string converted;
    auto text = decodedText(bytes, converted);
    if (!text) return text.error();
    // The fields' texts together are never longer than the file, and a field with its
    // separator mostly takes four bytes or more.
    data.strings.reserve(text->size(), text->size() / 4);
    Position start;
    if (auto status = readRecords(*text, detectSeparator(*text), start, data, stop); !status) {
        return status;
    }
    data.finish();
    return {};
}

support::Status readDelimitedFile(support::InputFile& file, SheetData& data, std::stop_token stop) {
    std::string text;
    std::string piece(kPieceBytes, '\0');
    auto got = file.readFully(piece.data(), piece.size(), stop);
    if (!got) return got.error();
    if (stop.stop_requested()) return readingCancelled();
    piece.resize(*got);
    bool last = *got < kPieceBytes;
    // Text saved as UTF-16 is rare for a file this long: it is converted whole.
    if (piece.starts_with("\xFF\xFE") || piece.starts_with("\xFE\xFF")) {
        std::string rest(kPieceBytes, '\0');
        while (!last) {
            got = file.readFully(rest.data(), rest.size(), stop);
            if (!got) return got.error();
            if (stop.stop_requested()) return readingCancelled();
            piece.append(rest, 0, *got);
            last = *got < rest.size();
        }
        return readDelimitedText(piece, data, stop);
    }
    if (piece.starts_with(kUtf8Bom)) piece.erase(0, kUtf8Bom.size());
    const char separator = detectSeparator(piece);
    RecordEnds ends(separator);
    Position at;
    text = std::move(piece);
    for (;;) {
        const std::size_t cut = last ? text.size() : ends.lastEnd(text);
        if (auto status =
                readRecords(std::string_view(text).substr(0, cut), separator, at, data, stop);
            !status) {
            return status;
        }
        if (last) break;
        text.erase(0, cut);
        ends.dropped(cut);
        const std::size_t kept = text.size();
        text.resize(kept + kPieceBytes);
        got = file.readFully(text.data() + kept, kPieceBytes, stop);
        if (!got) return got.error();
        if (stop.stop_requested()) return readingCancelled();
        text.resize(kept + *got);
        last = *got < kPieceBytes;
    }
    data.finish();
    return {};
}

namespace {

struct TextPart {
    std::string_view text;
    Position start;
};

// The text cut at record ends into at most `parts` parts of about equal length, each with the
// record and line it starts at. A quoted field open to the end leaves the rest one part.
std::vector<TextPart> cutIntoParts(std::string_view text, char separator, std::size_t parts) {
    std::vector<TextPart> cut;
    RecordEnds ends(separator);
    std::size_t begin = 0;
    Position at;
    for (std::size_t k = 1; k < parts; ++k) {
        const std::size_t end = ends.lastEnd(text.substr(0, text.size() / parts * k));
        if (end <= begin) continue;
        cut.push_back(TextPart{text.substr(begin, end - begin), at});
        at.row = 1 + static_cast<int>(ends.records());
        at.line = lineOfOffset(text, end);
        begin = end;
    }
    cut.push_back(TextPart{text.substr(begin), at});
    return cut;
}

// One part's records into its data, its last row handed on. A visitor out of memory fails
// its part instead of ending the program.
support::Status readPart(const TextPart& part, char separator, SheetData& data,
                         const std::stop_token& stop) {
    try {
        Position at = part.start;
        if (auto status = readRecords(part.text, separator, at, data, stop); !status) {
            return status;
        }
        return data.endRows();
    } catch (const std::bad_alloc&) {
        return makeError(ErrorCode::Internal, Phrase{VELQUOR_TR_NOOP("core", "out of memory")});
    }
}

}  // namespace

std::vector<support::Status> readDelimitedTextInParts(std::string_view bytes,
                                                      std::span<SheetData* const> data,
                                                      std::stop_token stop) {
    std::string converted;
    auto text = decodedText(bytes, converted);
    if (!text) return {text.error()};
    const char separator = detectSeparator(*text);
    const std::vector<TextPart> parts = cutIntoParts(*text, separator, data.size());
    std::vector<support::Status> outcomes(parts.size());
    {
        std::vector<std::jthread> others;
        for (std::size_t k = 1; k < parts.size(); ++k) {
            others.emplace_back(
                [&, k] { outcomes[k] = readPart(parts[k], separator, *data[k], stop); });
        }
        outcomes[0] = readPart(parts[0], separator, *data[0], stop);
    }
    return outcomes;
}

}  // namespace velquor::sheet
