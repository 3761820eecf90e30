// Walking a sheet row by row as it is read (forEachRow): the same texts as SheetReader gives,
// however the pieces a long text file is read in fall across its records, and the errors of a
// file read so.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sheet/sheet_reader.h"
#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::sheet {
namespace {

using Rows = std::map<int, std::vector<std::string>>;

Rows streamed(const std::string& path, support::Status* status = nullptr) {
    Rows rows;
    auto walked = forEachRow(path, [&](int row, std::vector<std::string>& cells) {
        EXPECT_TRUE(rows.find(row) == rows.end()) << "row " << row << " twice";
        EXPECT_FALSE(cells.empty() || cells.back().empty()) << "row " << row;
        rows[row] = cells;
        return support::Status{};
    });
    if (status != nullptr) *status = walked;
    EXPECT_TRUE(status != nullptr || walked) << walked.error().message;
    return rows;
}

Rows opened(const std::string& path) {
    SheetReader reader;
    EXPECT_TRUE(reader.Open(path));
    Rows rows;
    EXPECT_TRUE(reader.forEachCell([&](int row, int column, std::string_view text) {
        auto& cells = rows[row];
        cells.resize(static_cast<std::size_t>(column));
        cells[static_cast<std::size_t>(column) - 1] = std::string(text);
        return support::Status{};
    }));
    return rows;
}

// Several megabytes of records whose quoted fields hold separators, doubled quotes and line
// breaks (CRLF and LF), with records of every length so that the 1 MiB pieces fall in every
// kind of place: inside a quoted field, between CR and LF, just after a quote.
std::string awkwardCsv(char separator, int records) {
    std::string csv = std::string("mac") + separator + "note" + separator + "count\r\n";
    for (int i = 0; i < records; ++i) {
        csv += "02:00:00:00:" + std::to_string(i % 97) + separator;
        switch (i % 5) {
            case 0:
                csv += "\"a " + std::string(static_cast<std::size_t>(i % 61), 'x') +
                       "\r\nsecond line\"";
                break;
            case 1:
                csv += "\"say \"\"hi\"\"" + std::string(1, separator) + " twice\"";
                break;
            case 2:
                csv += "plain" + std::string(static_cast<std::size_t>(i % 13), 'y');
                break;
            case 3:
                csv += "\"\"";  // an empty quoted field
                break;
            default:
                csv += "\"ends in a quote\"\"\"";
                break;
        }
        csv += separator + std::to_string(i) + (i % 3 == 0 ? "\n" : "\r\n");
    }
    return csv;
}

TEST(RowStream, ALongTextFileGivesTheRowsSheetReaderGives) {
    velquor::testing::TempDir dir;
    for (const char separator : {',', ';'}) {
        SCOPED_TRACE(std::string(1, separator));
        const auto path = dir / "long.csv";
        velquor::testing::writeFile(path, "\xEF\xBB\xBF" + awkwardCsv(separator, 120000));
        ASSERT_GT(std::filesystem::file_size(path), std::size_t{3} << 20);
        const Rows rows = streamed(path.string());
        EXPECT_EQ(rows.size(), 120001u);
        EXPECT_EQ(rows, opened(path.string()));
        EXPECT_EQ(rows.at(2)[1], "a \nsecond line") << "a line break in a cell is one line feed";
    }
}

// A file without quotes has its record ends found from the end of each piece: every kind of
// line break, and a lone carriage return as the last byte of a piece, ends the same records.
TEST(RowStream, AnUnquotedFileEndsItsRecordsAtEveryKindOfLineBreak) {
    velquor::testing::TempDir dir;
    std::string csv;
    for (int i = 0; i < 170000; ++i) {
        csv += std::to_string(i) + ",x" + std::string(static_cast<std::size_t>(i % 23), 'y');
        csv += i % 3 == 0 ? "\r" : i % 3 == 1 ? "\r\n" : "\n";
        if (i % 1000 == 999) csv += "\r\r\n";  // two empty lines
    }
    const auto path = dir / "plain.csv";
    velquor::testing::writeFile(path, csv);
    ASSERT_GT(std::filesystem::file_size(path), std::size_t{3} << 20);
    const Rows rows = streamed(path.string());
    EXPECT_EQ(rows.size(), 170000u);
    EXPECT_EQ(rows, opened(path.string()));
}

// The rows of a file read in parts side by side, each part's visitor keeping its own.
std::vector<Rows> inParts(const std::string& path, std::size_t parts,
                          support::Status* status = nullptr) {
    std::vector<Rows> got(parts);
    auto walked = forEachRowInParts(path, parts, [&got](std::size_t part) -> RowVisitor {
        return [&rows = got[part]](int row, std::vector<std::string>& cells) {
            rows[row] = cells;
            return support::Status{};
        };
    });
    if (status != nullptr) *status = walked;
    EXPECT_TRUE(status != nullptr || walked) << walked.error().message;
    return got;
}

// However many parts, with quoted fields across lines, CRLF and empty lines: the same rows as
// one reading gives, and each part's rows all after the part before.
TEST(RowStream, AFileReadInPartsGivesTheRowsInTheirPlaces) {
    velquor::testing::TempDir dir;
    const auto path = dir / "long.csv";
    velquor::testing::writeFile(path, "\xEF\xBB\xBF" + awkwardCsv(';', 60000) + "\r\n\nlast;row\n");
    const Rows whole = opened(path.string());
    for (const std::size_t parts : {1u, 2u, 3u, 7u}) {
        SCOPED_TRACE(parts);
        Rows joined;
        int lastRow = 0;
        const std::vector<Rows> got = inParts(path.string(), parts);
        EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Rows& r) { return !r.empty(); }),
                  static_cast<std::ptrdiff_t>(parts));
        for (const Rows& part : got) {
            if (part.empty()) continue;
            EXPECT_GT(part.begin()->first, lastRow);
            lastRow = part.rbegin()->first;
            joined.insert(part.begin(), part.end());
        }
        EXPECT_EQ(joined, whole);
    }
}

// A fault in a later part names its line in the whole file, and the first part's fault is
// the one told when two parts have one.
TEST(RowStream, APartsFaultNamesItsLineInTheWholeFile) {
    velquor::testing::TempDir dir;
    const std::string good = awkwardCsv(',', 30000);
    const auto lines = std::count(good.begin(), good.end(), '\n');
    velquor::testing::writeFile(dir / "bad.csv", good + good + "a,\xff\r\n");
    support::Status status;
    inParts((dir / "bad.csv").string(), 3, &status);
    ASSERT_FALSE(status);
    EXPECT_NE(
        status.error().message.find("line " + std::to_string(2 * lines + 1) + " is not UTF-8"),
        std::string::npos)
        << status.error().message;
    velquor::testing::writeFile(dir / "bad.csv", "a,b\nc,d\ne,f" + std::string(1, '\0') + "\n" +
                                                     good + good + "a,\xff\r\n");
    inParts((dir / "bad.csv").string(), 3, &status);
    ASSERT_FALSE(status);
    EXPECT_NE(status.error().message.find("line 3 holds a NUL"), std::string::npos)
        << status.error().message;
}

// Whatever the piece, a fault names the line of the whole file.
TEST(RowStream, ATextFilesFaultsNameTheirLineInTheWholeFile) {
    velquor::testing::TempDir dir;
    const std::string good = awkwardCsv(',', 60000);
    const auto lines = std::count(good.begin(), good.end(), '\n');
    struct Case {
        std::string tail;
        std::string said;
    } cases[] = {
        {"a,\"never closed\r\nb,c\r\n", "line " + std::to_string(lines + 1) + ": quoted field"},
        {"a,\xff\r\n", "line " + std::to_string(lines + 1) + " is not UTF-8"},
        {std::string("a,b\0c\r\n", 7), "line " + std::to_string(lines + 1) + " holds a NUL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        velquor::testing::writeFile(dir / "bad.csv", good + c.tail);
        support::Status status;
        streamed((dir / "bad.csv").string(), &status);
        ASSERT_FALSE(status);
        EXPECT_NE(status.error().message.find(c.said), std::string::npos) << status.error().message;
        EXPECT_NE(status.error().message.find("bad.csv"), std::string::npos);
    }
}

// Every record's field holds a doubled quote before its line break and a long second line, so
// that wherever a piece ends, it ends inside such a field: a doubled quote taken for a closing
// one would cut the record there.
TEST(RowStream, APieceNeverEndsInsideAQuotedField) {
    velquor::testing::TempDir dir;
    std::string csv;
    const std::string second(300, 'b');
    for (int i = 0; i < 12000; ++i) {
        csv += std::to_string(i) + ",\"say \"\"hi\"\"\r\n" + second + "\"\r\n";
    }
    velquor::testing::writeFile(dir / "quotes.csv", csv);
    const Rows rows = streamed((dir / "quotes.csv").string());
    ASSERT_EQ(rows.size(), 12000u);
    EXPECT_EQ(rows.at(12000), (std::vector<std::string>{"11999", "say \"hi\"\n" + second}));
}

// Records whose byte at `at` of the file is a quote or a carriage return in one of the places
// they take: the first field of every record is its own row number, so a record taken one
// place off shows at once. The last record ends the file at `size` bytes when size is given.
struct LastByteCase {
    const char* name;
    std::string open;  // the field up to the padding
    std::string last;  // the byte at `at`
    std::string rest;  // the rest of the record, its line break included
};

const LastByteCase kLastByteCases[] = {
    {"CR of CRLF", "plain", "\r", "\n"},
    {"a lone CR", "plain", "\r", "#,next\n"},  // # the next record's number
    {"a CR in a quoted field", "\"x", "\r", "\ny\"\n"},
    {"the first of a doubled quote", "\"x", "\"", "\"y\nz\"\n"},
    {"a closing quote before LF", "\"x\n", "\"", "\n"},
    {"a closing quote before CRLF", "\"x\n", "\"", "\r\n"},
    {"an opening quote", "", "\"", "a\nb\"\n"},
};

std::string recordsWithByteAt(const LastByteCase& c, std::size_t at, std::size_t size = 0) {
    std::string csv;
    int row = 1;
    const auto record = [&row](const std::string& field) {
        return std::to_string(row++) + "," + field;
    };
    while (csv.size() + 64 < at) csv += record("filler\n");
    // The padding is a field of its own before the case's field.
    const std::string head = std::to_string(row) + ",";
    const std::size_t padding = at - csv.size() - head.size() - 1 - c.open.size();
    std::string special = head + std::string(padding, 'p') + "," + c.open + c.last + c.rest;
    ++row;
    if (const std::size_t next = special.find('#'); next != std::string::npos) {
        special.replace(next, 1, std::to_string(row++));
    }
    csv += special;
    const std::size_t end = size == 0 ? at + (std::size_t{1} << 18) : size;
    while (csv.size() + 64 < end) csv += record(row % 2 == 0 ? "after\r\n" : "\"two\nlines\"\n");
    if (size == 0) return csv;
    const std::string tail = std::to_string(row) + ",";
    return csv + tail + std::string(size - csv.size() - tail.size() - 1, 'e') + "\n";
}

void expectRowsNumberedRight(const Rows& rows, const Rows& whole) {
    EXPECT_EQ(rows, whole);
    for (const auto& [row, cells] : rows) {
        ASSERT_EQ(cells.front(), std::to_string(row)) << "row " << row;
    }
}

// A quote or a carriage return as the last byte of a piece read (1 MiB) or of a part cut off
// waits for the byte after it: whichever it turns out to be, every record after keeps its
// number, as one reading of the whole file gives it (the records after hold quoted line
// breaks, which a quote taken wrongly would take for record ends, or miss).
TEST(RowStream, AQuoteOrCarriageReturnAsAPiecesOrPartsLastByteKeepsEveryRowInItsPlace) {
    velquor::testing::TempDir dir;
    const auto path = dir / "edge.csv";
    for (const LastByteCase& c : kLastByteCases) {
        SCOPED_TRACE(c.name);
        const std::string pieces = recordsWithByteAt(c, (std::size_t{1} << 20) - 1);
        ASSERT_EQ(pieces.substr((std::size_t{1} << 20) - 1, 1), c.last);
        velquor::testing::writeFile(path, pieces);
        const Rows whole = opened(path.string());
        ASSERT_GT(whole.size(), 30000u);
        expectRowsNumberedRight(streamed(path.string()), whole);

        // The first of three parts ends there; the third starts at the record count the cuts
        // before it found.
        constexpr std::size_t kThird = 200000;
        const std::string parts = recordsWithByteAt(c, kThird - 1, 3 * kThird);
        ASSERT_EQ(parts.size(), 3 * kThird);
        ASSERT_EQ(parts.substr(kThird - 1, 1), c.last);
        velquor::testing::writeFile(path, parts);
        const Rows wholeOfParts = opened(path.string());
        Rows joined;
        for (const Rows& part : inParts(path.string(), 3)) joined.insert(part.begin(), part.end());
        expectRowsNumberedRight(joined, wholeOfParts);
    }
}

// A workbook's rows come as its sheet holds them, shared and inline texts alike; a sheet whose
// rows go back is refused, since its rows cannot be handed on in order without holding them.
TEST(RowStream, AWorkbooksRowsComeInOrderOrTheWalkIsRefused) {
    velquor::testing::TempDir dir;
    const auto path = dir / "book.xlsx";
    testing::writeZip(path, testing::minimalWorkbook(
                                "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c>"
                                "<c r=\"C1\" t=\"inlineStr\"><is><t>a_x000D_b</t></is></c></row>"
                                "<row r=\"3\"><c r=\"B3\"><v>42</v></c></row>",
                                "<si><t>shared</t></si>"));
    const Rows rows = streamed(path.string());
    EXPECT_EQ(rows, (Rows{{1, {"shared", "", "a\rb"}}, {3, {"", "42"}}}));
    EXPECT_EQ(rows, opened(path.string()));

    testing::writeZip(path,
                      testing::minimalWorkbook("<row r=\"3\"><c r=\"A3\"><v>1</v></c></row>"
                                               "<row r=\"2\"><c r=\"A2\"><v>2</v></c></row>"));
    support::Status status;
    streamed(path.string(), &status);
    ASSERT_FALSE(status);
    EXPECT_NE(status.error().message.find("row 2 comes after row 3"), std::string::npos)
        << status.error().message;
}

// What the visitor refuses ends the walk and comes back as the visitor said it.
TEST(RowStream, TheVisitorsRefusalEndsTheWalkUnchanged) {
    velquor::testing::TempDir dir;
    velquor::testing::writeFile(dir / "r.csv", "a\nb\nc\n");
    int visited = 0;
    auto walked = forEachRow((dir / "r.csv").string(), [&](int row, std::vector<std::string>&) {
        ++visited;
        return row == 2 ? support::Status(
                              support::makeError(support::ErrorCode::InvalidInput, "no second row"))
                        : support::Status{};
    });
    ASSERT_FALSE(walked);
    EXPECT_EQ(walked.error().message, "no second row");
    EXPECT_EQ(visited, 2);
}

}  // namespace
}  // namespace velquor::sheet
