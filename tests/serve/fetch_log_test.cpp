// The fetch log: records written by the one CSV writer and read back whole, whatever a client
// put in its path or User-Agent; a log cut short mid-line, by a crash or a full disk; a log of
// the first version; a file that is no fetch log.
#include <gtest/gtest.h>

#include "file_size_limit.h"
#include "serve/log/fetch_log_reader.h"
#include "serve/log/fetch_log_writer.h"
#include "temp_dir.h"

namespace velquor::serve {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::shellQuote;
using testing::TempDir;
using testing::writeFile;

// The records of the log at path, failing the test when it does not read.
std::vector<FetchRecord> recordsOf(const std::filesystem::path& path) {
    auto records = readFetchLog(path);
    EXPECT_TRUE(records) << records.error().message;
    return records ? *records : std::vector<FetchRecord>{};
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

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
    record.userAgent =
        escapeLogText("=cmd|' /C calc'!A0,\"x\"\n\t%" + std::string(600, 'u'), kLoggedTextBytes);
    return record;
}

TEST(FetchLog, HostileFieldsStayOneLineAndReadBackTheSame) {
    TempDir dir;
    const FetchRecord written = hostileRecord();
    // Cut at the bound, with a mark saying how much more there was.
    EXPECT_EQ(unescapeLogText(written.userAgent).substr(0, 6), "=cmd|'");
    EXPECT_TRUE(written.userAgent.ends_with(" [+369 bytes cut]")) << written.userAgent;
    EXPECT_EQ(written.userAgent.find_first_of(",\"\r\n\t'"), std::string::npos);
    EXPECT_NE(written.userAgent.front(), '=');
    // The path keeps its own escapes: %41 is what the client sent.
    EXPECT_NE(written.path.find("%41"), std::string::npos);
    {
        FetchLogWriter writer;
        std::size_t earlier = 0;
        auto opened = writer.open(dir / "fetch.csv", [&](const FetchRecord&) { ++earlier; });
        ASSERT_TRUE(opened) << opened.error().message;
        EXPECT_EQ(earlier, 0u);
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

    // A spreadsheet's reader sees the same columns on every line.
    const std::string columns = runCommand(
        "python3 -c 'import csv,sys; print(set(len(r) for r in csv.reader(open(sys.argv[1]))))' " +
        shellQuote((dir / "fetch.csv").string()));
    EXPECT_EQ(columns, "{14}\n");
}

TEST(FetchLog, ALineCutShortIsEndedOnEveryStartAndEveryWholeRecordReadsBack) {
    const std::string line = fetchLogLine(hostileRecord());
    // Started again with a record appended, or with none before the next start.
    for (const bool appendBeforeRestart : {true, false}) {
        TempDir dir;
        const std::filesystem::path log = dir / "fetch.csv";
        {
            FetchLogWriter writer;
            ASSERT_TRUE(writer.open(log));
            writer.append(hostileRecord());
            writer.append(hostileRecord());
        }
        // The server was killed in the middle of its third record, in its last field: what
        // is there would read as a whole record with a shorter User-Agent.
        writeFile(log, readFile(log) + line.substr(0, line.size() - 40));
        ASSERT_EQ(recordsOf(log).size(), 2u);

        std::size_t whole = 0;
        {
            FetchLogWriter writer;
            auto opened = writer.open(log, [&](const FetchRecord&) { ++whole; });
            ASSERT_TRUE(opened) << opened.error().message;
            EXPECT_EQ(whole, 2u);
            if (appendBeforeRestart) writer.append(hostileRecord());
        }
        FetchLogWriter again;
        whole = 0;
        auto reopened = again.open(log, [&](const FetchRecord&) { ++whole; });
        ASSERT_TRUE(reopened) << appendBeforeRestart << ": " << reopened.error().message;
        EXPECT_EQ(whole, appendBeforeRestart ? 3u : 2u);
        again.append(hostileRecord());
        ASSERT_TRUE(again.flush());
        EXPECT_EQ(recordsOf(log).size(), appendBeforeRestart ? 4u : 3u);
    }
}

TEST(FetchLog, ALogWhoseHeaderWasCutShortIsBegunAgain) {
    TempDir dir;
    const std::filesystem::path log = dir / "fetch.csv";
    writeFile(log, "time,peer,met");
    {
        FetchLogWriter writer;
        auto opened = writer.open(log);
        ASSERT_TRUE(opened) << opened.error().message;
        writer.append(hostileRecord());
    }
    EXPECT_EQ(recordsOf(log).size(), 1u);
    EXPECT_EQ(readFile(log).substr(0, fetchLogHeader().size() + 2), fetchLogHeader() + "\r\n");
}

TEST(FetchLog, ALogThatCannotBeWrittenDropsAndCountsLinesAndEndsTheTornOneWhenItCan) {
    TempDir dir;
    const std::filesystem::path log = dir / "fetch.csv";
    FetchLogWriter writer;
    ASSERT_TRUE(writer.open(log));
    const std::string line = fetchLogLine(hostileRecord());
    const std::size_t bound = FetchLogWriter::kPendingBytes / line.size();
    {
        // The disk is full a line and a half past the header.
        testing::FileSizeLimit full(
            static_cast<rlim_t>(readFile(log).size() + line.size() * 3 / 2));
        for (std::size_t i = 0; i < bound * 3; ++i) writer.append(hostileRecord());
        EXPECT_FALSE(writer.flush());
        for (std::size_t i = 0; i < bound; ++i) writer.append(hostileRecord());
        EXPECT_FALSE(writer.flush());
        EXPECT_NE(writer.error().find("cannot write the fetch log"), std::string::npos);
    }
    // What waited never outgrew the bound: everything past it was dropped and counted (all but
    // the line and a half written and the one or two that then found room again).
    EXPECT_GE(writer.dropped(), bound * 3 - 2);
    EXPECT_LT(writer.dropped(), bound * 3);
    // Room again: the torn line is finished first, and every line is a whole record.
    ASSERT_TRUE(writer.flush());
    const std::vector<FetchRecord> records = recordsOf(log);
    EXPECT_EQ(records.size() + writer.dropped(), bound * 4);
    EXPECT_EQ(lineCount(readFile(log)), records.size() + 1);
}

TEST(FetchLog, ALogOfTheFirstVersionStillReadsAndIsAppendedTo) {
    TempDir dir;
    const std::filesystem::path log = dir / "fetch.csv";
    writeFile(log,
              "time,peer,method,path,mac,file,status,bytes,duration_ms,completed,user_agent\r\n"
              "2026-12-01T08:00:00.000Z,192.0.2.7,GET,/001a2b3c4d5e.xml,001a2b3c4d5e,"
              "001A2B3C4D5E.xml,200,20,3,yes,Phone/1.0\r\n");
    FetchLogWriter writer;
    std::vector<FetchRecord> earlier;
    ASSERT_TRUE(writer.open(log, [&](const FetchRecord& record) { earlier.push_back(record); }));
    ASSERT_EQ(earlier.size(), 1u);
    EXPECT_TRUE(earlier[0].fetched());
    EXPECT_FALSE(earlier[0].isSummary());
    FetchRecord summary;
    summary.time = earlier[0].time;
    summary.peer = "192.0.2.0/24";
    summary.method = "*";
    summary.status = 403;
    summary.completed = true;
    summary.more = 3264;
    writer.append(summary);
    ASSERT_TRUE(writer.flush());
    const std::vector<FetchRecord> records = recordsOf(log);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].more, 3264u);
    EXPECT_EQ(records[1].peer, "192.0.2.0/24");
    // A line of more columns than there are is no record.
    writeFile(log, readFile(log) + "2026-12-01T08:00:00.000Z,p,GET,/,,,404,0,0,no,,,,,\r\n");
    const auto extra = readFetchLog(log);
    ASSERT_FALSE(extra);
    EXPECT_NE(extra.error().message.find("line 4"), std::string::npos);
}

TEST(FetchLog, TheProofAndTheRefusalAreEscapedAndReadBackAndOlderLogsReadWithout) {
    TempDir dir;
    const std::filesystem::path log = dir / "fetch.csv";
    // A log of the version before: twelve columns, a summary line among its records.
    writeFile(log,
              "time,peer,method,path,mac,file,status,bytes,duration_ms,completed,user_agent,"
              "more\r\n"
              "2026-12-01T08:00:00.000Z,192.0.2.7,GET,/001a2b3c4d5e.xml,001a2b3c4d5e,"
              "001A2B3C4D5E.xml,200,20,3,yes,Phone/1.0,\r\n"
              "2026-12-01T08:00:01.000Z,192.0.2.0/24,*,,,,403,0,0,yes,,7\r\n");
    FetchRecord proven = hostileRecord();
    proven.proof = "digest:=1+2,\"a\"\r\n%41";
    FetchRecord refused = hostileRecord();
    refused.status = 403;
    refused.proof = "none";
    refused.refusal = "@certificate names x,\"y\"\n" + std::string(400, 'z');
    {
        FetchLogWriter writer;
        std::vector<FetchRecord> earlier;
        ASSERT_TRUE(writer.open(log, [&](const FetchRecord& r) { earlier.push_back(r); }));
        ASSERT_EQ(earlier.size(), 2u);
        EXPECT_TRUE(earlier[0].fetched());
        EXPECT_EQ(earlier[0].proof, "");
        EXPECT_EQ(earlier[1].more, 7u);
        EXPECT_EQ(earlier[1].refusal, "");
        writer.append(proven);
        writer.append(refused);
        ASSERT_TRUE(writer.flush());
    }
    const std::string text = readFile(log);
    EXPECT_EQ(lineCount(text), 5u);
    const std::string refusedLine = text.substr(text.rfind("\n", text.size() - 2) + 1);
    // No text a client chose begins a field or splits one.
    EXPECT_EQ(refusedLine.find('"'), std::string::npos) << refusedLine;
    EXPECT_NE(refusedLine.find(",none,%40certificate names x%2C%22y%22%0A"), std::string::npos)
        << refusedLine;
    EXPECT_NE(text.find(",digest:=1+2%2C%22a%22%0D%0A%2541,\r\n"), std::string::npos) << text;

    const std::vector<FetchRecord> records = recordsOf(log);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2].proof, proven.proof);
    EXPECT_EQ(records[2].refusal, "");
    EXPECT_EQ(records[3].proof, "none");
    // Cut at the bound, with the mark saying how much more there was.
    EXPECT_EQ(records[3].refusal, refused.refusal.substr(0, kLoggedTextBytes) + " [+" +
                                      std::to_string(refused.refusal.size() - kLoggedTextBytes) +
                                      " bytes cut]");

    // A log of the first version (eleven columns) reads too, proof and refusal empty.
    writeFile(log,
              "time,peer,method,path,mac,file,status,bytes,duration_ms,completed,user_agent\r\n"
              "2026-12-01T08:00:00.000Z,192.0.2.7,GET,/a.xml,,a.xml,200,20,3,yes,Phone/1.0\r\n");
    const std::vector<FetchRecord> first = recordsOf(log);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].proof, "");
    EXPECT_EQ(first[0].refusal, "");
}

TEST(FetchLog, AFileThatIsNoFetchLogIsNeverAppendedTo) {
    TempDir dir;
    const std::string report = "mac,status\r\n001a2b3c4d5e,added\r\n";
    writeFile(dir / "report.csv", report);
    FetchLogWriter writer;
    const auto opened = writer.open(dir / "report.csv");
    EXPECT_FALSE(writer.isOpen());
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().message.find("not a fetch log record"), std::string::npos);
    EXPECT_NE(opened.error().message.find("report.csv"), std::string::npos);
    EXPECT_EQ(readFile(dir / "report.csv"), report);

    std::filesystem::create_directory(dir / "folder");
    EXPECT_FALSE(FetchLogWriter().open(dir / "folder"));
    EXPECT_FALSE(FetchLogWriter().open("/dev/full"));
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
