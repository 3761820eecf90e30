// The fetch log: records written by the one CSV writer and read back whole, whatever a client
// put in its path or User-Agent; a log cut short mid-line; a file that is no fetch log.
#include "serve/log/fetch_log.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace velquor::serve {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::shellQuote;
using testing::TempDir;
using testing::writeFile;

FetchRecord hostileRecord() {
    FetchRecord record;
    record.time = Clock::time_point(std::chrono::milliseconds(1'796'000'000'123));
    record.peer = "2001:db8::7";
    record.method = "GET";
    record.path = escapeLogText("/prov/a b,\"c\"\r\n%41\xff.xml", 4096, Escaping::RequestPath);
    record.mac = "001a2b3c4d5e";
    record.file = "001A2B3C4D5E.xml";
    record.status = 200;
    record.bytes = 4096;
    record.durationMs = 12;
    record.completed = true;
    record.userAgent = escapeLogText("=cmd|' /C calc'!A0,\"x\"\n\t%" + std::string(600, 'u'), 256);
    return record;
}

TEST(FetchLog, HostileFieldsStayOneLineAndReadBackTheSame) {
    TempDir dir;
    const FetchRecord written = hostileRecord();
    EXPECT_LE(unescapeLogText(written.userAgent).size(), 256u);
    EXPECT_EQ(unescapeLogText(written.userAgent).substr(0, 6), "=cmd|'");
    EXPECT_EQ(written.userAgent.find_first_of(",\"\r\n\t'"), std::string::npos);
    EXPECT_NE(written.userAgent.front(), '=');
    // The path keeps its own escapes: %41 is what the client sent.
    EXPECT_NE(written.path.find("%41"), std::string::npos);
    {
        FetchLogWriter writer;
        auto opened = writer.open(dir / "fetch.csv");
        ASSERT_TRUE(opened) << opened.error().message;
        EXPECT_TRUE(opened->empty());
        writer.append(written);
        writer.append(written);
        ASSERT_TRUE(writer.flush());
    }
    const std::string text = readFile(dir / "fetch.csv");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);

    const auto records = readFetchLog(dir / "fetch.csv");
    ASSERT_TRUE(records) << records.error().message;
    ASSERT_EQ(records->size(), 2u);
    const FetchRecord& read = records->front();
    EXPECT_EQ(read.time, written.time);
    EXPECT_EQ(formatLogTime(read.time), "2026-11-30T00:53:20.123Z");
    EXPECT_EQ(read.peer, written.peer);
    EXPECT_EQ(read.path, written.path);
    EXPECT_EQ(read.mac, written.mac);
    EXPECT_EQ(read.file, written.file);
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.bytes, 4096u);
    EXPECT_EQ(read.durationMs, 12u);
    EXPECT_TRUE(read.fetched());
    EXPECT_EQ(read.userAgent, written.userAgent);

    // A spreadsheet's reader sees the same eleven columns on every line.
    const std::string columns = runCommand(
        "python3 -c 'import csv,sys; print(set(len(r) for r in csv.reader(open(sys.argv[1]))))' " +
        shellQuote((dir / "fetch.csv").string()));
    EXPECT_EQ(columns, "{11}\n");
}

TEST(FetchLog, ALineCutShortIsLeftOutAndTheNextRecordStartsOnItsOwnLine) {
    TempDir dir;
    const std::string line = fetchLogLine(hostileRecord());
    {
        FetchLogWriter writer;
        ASSERT_TRUE(writer.open(dir / "fetch.csv"));
        writer.append(hostileRecord());
    }
    // The server was killed in the middle of its second record.
    std::string text = readFile(dir / "fetch.csv") + line.substr(0, line.size() / 2);
    writeFile(dir / "fetch.csv", text);
    ASSERT_EQ(readFetchLog(dir / "fetch.csv")->size(), 1u);

    FetchLogWriter writer;
    auto opened = writer.open(dir / "fetch.csv");
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_EQ(opened->size(), 1u);
    writer.append(hostileRecord());
    ASSERT_TRUE(writer.flush());
    // The torn half is now a line of its own, which is no record: the file says where.
    const auto reread = readFetchLog(dir / "fetch.csv");
    ASSERT_FALSE(reread);
    EXPECT_NE(reread.error().message.find("line 3"), std::string::npos);
}

TEST(FetchLog, AFileThatIsNoFetchLogIsNeverAppendedTo) {
    TempDir dir;
    const std::string report = "mac,status\r\n001a2b3c4d5e,added\r\n";
    writeFile(dir / "report.csv", report);
    FetchLogWriter writer;
    const auto opened = writer.open(dir / "report.csv");
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().message.find("not a fetch log record"), std::string::npos);
    EXPECT_NE(opened.error().message.find("report.csv"), std::string::npos);
    EXPECT_EQ(readFile(dir / "report.csv"), report);

    std::filesystem::create_directory(dir / "folder");
    EXPECT_FALSE(FetchLogWriter().open(dir / "folder"));
}

TEST(FetchLog, TimesAreCheckedWhenRead) {
    Clock::time_point time;
    EXPECT_TRUE(parseLogTime("2026-02-28T23:59:59.999Z", time));
    for (const char* bad : {"2026-02-30T10:00:00.000Z", "2026-02-28 10:00:00.000Z",
                            "2026-02-28T24:00:00.000Z", "2026-02-28T10:00:00.000"})
        EXPECT_FALSE(parseLogTime(bad, time)) << bad;
}

}  // namespace
}  // namespace velquor::serve
