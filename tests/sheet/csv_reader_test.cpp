// Delimited text through SheetReader: encodings, quoting, separators, ragged rows, failures.
#include "sheet/csv_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sheet/sheet_reader.h"
#include "temp_dir.h"

namespace velquor::sheet {
namespace {

using Grid = std::vector<std::vector<std::string>>;

Grid readAll(const SheetReader& reader) {
    Grid grid;
    for (int r = 1; r <= reader.RowCount(); ++r) {
        grid.emplace_back();
        for (int c = 1; c <= reader.ColumnCount(); ++c)
            grid.back().push_back(reader.CellText(r, c));
    }
    return grid;
}

Grid readCsv(std::string_view content, std::string_view name = "in.csv") {
    testing::TempDir dir;
    testing::writeFile(dir / name, content);
    SheetReader reader;
    auto opened = reader.Open((dir / name).string());
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().message);
    if (!opened.ok()) return {};
    EXPECT_EQ(opened->RowCount, reader.RowCount());
    EXPECT_EQ(opened->ColumnCount, reader.ColumnCount());
    return readAll(reader);
}

TEST(CsvReader, ReadsFieldsAsWrittenWithEachLineEnding) {
    EXPECT_EQ(readCsv("mac,name\n001122334455,Alice\n"),
              (Grid{{"mac", "name"}, {"001122334455", "Alice"}}));
    EXPECT_EQ(readCsv("a,b\r\nc,d\r\n"), (Grid{{"a", "b"}, {"c", "d"}}));
    EXPECT_EQ(readCsv("a,b\rc,d"), (Grid{{"a", "b"}, {"c", "d"}}));
    // Numbers are text as written: no reformatting of 0005060 or 1.50.
    EXPECT_EQ(readCsv("0005060,1.50, x \n"), (Grid{{"0005060", "1.50", " x "}}));
}

TEST(CsvReader, HonoursQuotes) {
    EXPECT_EQ(readCsv("\"a,b\",\"say \"\"hi\"\"\"\n\"line1\r\nline2\",z\n"),
              (Grid{{"a,b", "say \"hi\""}, {"line1\nline2", "z"}}));
    // A quote inside an unquoted field is an ordinary character.
    EXPECT_EQ(readCsv("5\"5,b\n"), (Grid{{"5\"5", "b"}}));
    // Text after the closing quote belongs to the field; a line feed inside quotes stays.
    EXPECT_EQ(readCsv("\"ab\"cd,\"a\nb\"\n\"x\"\"\"\"y\",\"\"\"\",\"q\"\r\n"),
              (Grid{{"abcd", "a\nb", ""}, {"x\"\"y", "\"", "q"}}));
}

TEST(CsvReader, StripsByteOrderMarksAndConvertsUtf16) {
    EXPECT_EQ(readCsv("\xEF\xBB\xBFname,\xE5\xBC\xA0\xE4\xB8\x89\n"),
              (Grid{{"name", "\xE5\xBC\xA0\xE4\xB8\x89"}}));
    // "a<TAB>张" in UTF-16LE with its mark, as "Unicode text" is saved.
    EXPECT_EQ(readCsv(std::string("\xFF\xFE"
                                  "a\0\t\0\x20\x5F\n\0",
                                  10),
                      "in.txt"),
              (Grid{{"a", "\xE5\xBC\xA0"}}));
}

TEST(CsvReader, DetectsTheSeparator) {
    EXPECT_EQ(detectSeparator("a;b;c\n1;2,5;3\n"), ';');
    EXPECT_EQ(detectSeparator("a\tb\n1\t2\n"), '\t');
    EXPECT_EQ(detectSeparator("\"x;y\",b\n1,2\n"), ',');
    EXPECT_EQ(detectSeparator("single\ncolumn\n"), ',');
    EXPECT_EQ(readCsv("a;b\n1;2,5\n"), (Grid{{"a", "b"}, {"1", "2,5"}}));
    EXPECT_EQ(readCsv("a\tb,c\n1\t2\n", "in.txt"), (Grid{{"a", "b,c"}, {"1", "2"}}));
}

TEST(CsvReader, UsedRangeIsTheBoundingBoxOfNonEmptyFields) {
    // Ragged rows, empty lines and trailing empty fields.
    EXPECT_EQ(readCsv("a\n\nb,c,d\n,,\ne,,\n\n"),
              (Grid{{"a", "", ""}, {"", "", ""}, {"b", "c", "d"}, {"", "", ""}, {"e", "", ""}}));
    EXPECT_EQ(readCsv(""), Grid{});
    EXPECT_EQ(readCsv(",,\n,\n"), Grid{});
    // Data that does not start at A1 keeps its place.
    EXPECT_EQ(readCsv(",\n,x\n"), (Grid{{"", ""}, {"", "x"}}));
}

TEST(CsvReader, RefusesTextThatIsNotUtf8) {
    testing::TempDir dir;
    testing::writeFile(dir / "gbk.csv", "mac,name\n001122334455,\xD5\xC5\xC8\xFD\n");
    SheetReader reader;
    auto opened = reader.Open((dir / "gbk.csv").string());
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().message.find("gbk.csv"), std::string::npos);
    EXPECT_NE(opened.error().message.find("line 2"), std::string::npos);
    EXPECT_FALSE(reader.isOpen());
}

// The message of a file that fails to open, or empty when it opens.
std::string openFailure(std::string_view content, std::string_view name = "q.csv") {
    testing::TempDir dir;
    testing::writeFile(dir / name, content);
    SheetReader reader;
    auto opened = reader.Open((dir / name).string());
    if (opened.ok()) return {};
    EXPECT_FALSE(reader.isOpen());
    return opened.error().message;
}

TEST(CsvReader, AQuoteThatNeverClosesIsAnErrorAtTheLineWhereItOpened) {
    // Without the error, every record after the quote would vanish into one cell.
    const std::string failure = openFailure("mac,name\n0011,a\n0022,\"b\n0033,c\n0044,d\n");
    EXPECT_NE(failure.find("q.csv\": line 3: quoted field never closed"), std::string::npos)
        << failure;
    // Line breaks inside an earlier, closed field count as lines; so do CR LF and a lone CR.
    EXPECT_NE(openFailure("\"a\r\nb\",c\r\nd\re,\"f\r\ng\n").find("line 4: quoted"),
              std::string::npos);
    // A quote opening the very last field, and one in a UTF-16 file.
    EXPECT_NE(openFailure("a,b\n\"").find("line 2: quoted"), std::string::npos);
    EXPECT_NE(openFailure(std::string("\xFF\xFEx\0\n\0\"\0y\0", 10), "q.txt")
                  .find("line 2: quoted field never closed"),
              std::string::npos);

    // Quotes that close are fine wherever the file ends, and a quote inside an unquoted field
    // opens nothing.
    EXPECT_EQ(openFailure("a,\"b\nc\""), "");
    EXPECT_EQ(openFailure("a,\"\"\"\"\n"), "");
    EXPECT_EQ(openFailure("5\"5,b\nc\"\n"), "");
    EXPECT_EQ(readCsv("a,\"b\nc\""), (Grid{{"a", "b\nc"}}));
}

TEST(CsvReader, ACellLongerThanASpreadsheetCellIsRefusedWhereItStands) {
    // Counted in characters: the longest cell fits however many bytes its characters take.
    const std::string longest(kMaxCellCharacters, 'x');
    std::string wide;
    for (std::size_t i = 0; i < kMaxCellCharacters; ++i) wide += "\xe5\x89\x8d";
    EXPECT_EQ(openFailure("a,b\n1," + longest + "\n"), "");
    EXPECT_EQ(openFailure("a,b\n1,\"" + wide + "\"\n"), "");

    for (const std::string& field : {longest + "x", "\"" + wide + "\xe5\x89\x8d\"",
                                     "\"" + std::string(50'000'000, 'q') + "\""}) {
        const std::string failure = openFailure("a,b\n1," + field + "\n");
        EXPECT_NE(failure.find("record 2, field 2 holds more than 32767 characters"),
                  std::string::npos)
            << failure.substr(0, 200);
    }
}

}  // namespace
}  // namespace velquor::sheet
