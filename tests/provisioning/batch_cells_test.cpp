// A batch's MAC addresses from elsewhere than a MAC file: text typed in, the rows of a finished
// batch to send again, and an earlier report written to disk and read back for a retry.
#include "provisioning/batch_cells.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "provisioning/mac_file.h"
#include "report/report_file.h"
#include "sheet/sheet_reader.h"
#include "temp_dir.h"

namespace velquor::provisioning {
namespace {

std::vector<std::string> textsOf(const MacFile& file) {
    std::vector<std::string> texts;
    for (const MacCell& cell : file.cells) texts.push_back(cell.text);
    return texts;
}

std::vector<int> rowsOf(const MacFile& file) {
    std::vector<int> rows;
    for (const MacCell& cell : file.cells) rows.push_back(cell.row);
    return rows;
}

MacResult row(int number, int column, std::string mac, MacOutcome outcome,
              DeviceOperation operation = DeviceOperation::Add) {
    MacResult result;
    result.row = number;
    result.column = column;
    result.macAddress = std::move(mac);
    result.operation = operation;
    result.outcome = outcome;
    return result;
}

TEST(TypedMacs, EverySeparatorSplitsAndTheCellsAreNumberedInOrder) {
    const MacFile typed = parseTypedMacs(
        "  00:11:22:33:44:01,00-11-22-33-44-02;\n001122334403\r\n\t0011.2233.4404 ,; ");
    EXPECT_EQ(textsOf(typed), (std::vector<std::string>{"00:11:22:33:44:01", "00-11-22-33-44-02",
                                                        "001122334403", "0011.2233.4404"}));
    EXPECT_EQ(rowsOf(typed), (std::vector<int>{1, 2, 3, 4}));
    for (const MacCell& cell : typed.cells) EXPECT_EQ(cell.column, 1);
    EXPECT_EQ(typed.emptyCells, 0u);
    EXPECT_TRUE(parseTypedMacs(" ,;\n\t ").cells.empty());
}

// A MAC file's first cell "MAC" is its header; typed, it is a mistake and is said to be one.
TEST(TypedMacs, ATypedWordIsRefusedNotTakenForAHeader) {
    const CheckedMacFile checked = checkMacCells(parseTypedMacs("MAC 001122334455 001122334455"),
                                                 DeviceOperation::Add, mac::kDefaultForm);
    ASSERT_EQ(checked.results.size(), 3u);
    EXPECT_EQ(checked.results[0].outcome, MacOutcome::Refused);
    EXPECT_FALSE(checked.results[0].reason.empty());
    EXPECT_EQ(checked.results[1].outcome, MacOutcome::NotSent);
    EXPECT_EQ(checked.results[2].outcome, MacOutcome::Skipped);
    EXPECT_EQ(checked.results[2].reason, "repeats row 2");

    MacFile file = parseTypedMacs("MAC 001122334455");
    file.firstRowMayBeHeader = true;
    EXPECT_EQ(checkMacCells(file, DeviceOperation::Add, mac::kDefaultForm).results[0].outcome,
              MacOutcome::Skipped);
}

TEST(RetryCells, OnlyFailedUnknownAndNotSentRowsGoAgainUnderTheirOwnPlaces) {
    DeviceBatchSummary summary;
    summary.results = {row(1, 1, "MAC", MacOutcome::Skipped),
                       row(2, 1, "02:00:00:00:00:01", MacOutcome::Added),
                       row(3, 1, "02:00:00:00:00:02", MacOutcome::Failed),
                       row(4, 2, "02:00:00:00:00:03", MacOutcome::Replaced),
                       row(5, 2, "02:00:00:00:00:04", MacOutcome::Unknown),
                       row(6, 1, "02:00:00:00:00:05", MacOutcome::Declined),
                       row(7, 3, "02:00:00:00:00:06", MacOutcome::NotSent),
                       row(8, 1, "nonsense", MacOutcome::Refused)};
    const MacFile retry = retryCells(summary);
    EXPECT_EQ(textsOf(retry), (std::vector<std::string>{"02:00:00:00:00:02", "02:00:00:00:00:04",
                                                        "02:00:00:00:00:06"}));
    EXPECT_EQ(rowsOf(retry), (std::vector<int>{3, 5, 7}));
    EXPECT_EQ(retry.cells[1].column, 2);
    EXPECT_EQ(retry.cells[2].column, 3);
    EXPECT_FALSE(retry.firstRowMayBeHeader);
}

// A row the server answered for good (a MAC it does not take) gets
// the same answer again: it is not among the rows a retry sends.
TEST(RetryCells, RowsTheServerAnsweredForGoodStayOut) {
    DeviceBatchSummary summary;
    summary.results = {row(1, 1, "02:00:00:00:00:01", MacOutcome::Failed),
                       row(2, 1, "02:00:00:00:00:02", MacOutcome::Failed)};
    summary.results[0].answeredForGood = true;
    EXPECT_EQ(textsOf(retryCells(summary)), std::vector<std::string>{"02:00:00:00:00:02"});
    EXPECT_FALSE(worthRetrying(summary.results[0]));
    EXPECT_TRUE(worthRetrying(summary.results[1]));
}

// The retry's rows take the places of the rows it sent, matched by cell; the others stay as
// the first run left them, and how the retry ended is how the whole ended.
TEST(RetryCells, ARetryIsMergedIntoTheRunItRetried) {
    DeviceBatchSummary first;
    first.results = {row(1, 1, "02:00:00:00:00:01", MacOutcome::Added),
                     row(2, 1, "02:00:00:00:00:02", MacOutcome::NotSent),
                     row(2, 2, "nonsense", MacOutcome::Refused),
                     row(3, 1, "02:00:00:00:00:03", MacOutcome::Unknown)};
    first.serverNotAnswering = "cannot connect";
    first.emptyCells = 2;
    DeviceBatchSummary retry;
    retry.results = {row(2, 1, "02:00:00:00:00:02", MacOutcome::Added),
                     row(3, 1, "02:00:00:00:00:03", MacOutcome::Failed)};
    retry.results[1].reason = "refused";
    const DeviceBatchSummary merged = mergeRetried(first, retry);
    ASSERT_EQ(merged.results.size(), 4u);
    EXPECT_EQ(merged.results[0].outcome, MacOutcome::Added);
    EXPECT_EQ(merged.results[1].outcome, MacOutcome::Added);
    EXPECT_EQ(merged.results[2].outcome, MacOutcome::Refused);
    EXPECT_EQ(merged.results[3].outcome, MacOutcome::Failed);
    EXPECT_EQ(merged.results[3].reason, "refused");
    EXPECT_TRUE(merged.serverNotAnswering.empty());
    EXPECT_EQ(merged.emptyCells, 2u);
}

// One rule says how a batch ended: a row that got no reply is no finished run, and a declined
// replacement is no failure.
TEST(BatchHeadline, EveryRunShapeGetsTheHeadlineOfItsOutcome) {
    DeviceBatchSummary summary;
    summary.results = {row(1, 1, "02:00:00:00:00:01", MacOutcome::Added),
                       row(2, 1, "02:00:00:00:00:02", MacOutcome::Declined)};
    EXPECT_EQ(batchHeadline(summary).english(), "Add device finished.");
    // Every phone added, two cells refused and a row repeated: the phones come first.
    summary.results.push_back(row(3, 1, "1565012345", MacOutcome::Refused));
    summary.results.push_back(row(4, 1, "x", MacOutcome::Refused));
    summary.results.push_back(row(5, 1, "02:00:00:00:00:01", MacOutcome::Skipped));
    EXPECT_EQ(batchHeadline(summary).english(),
              "Every device was added; 2 cells were refused (not MAC addresses).");
    summary.results.resize(3);
    EXPECT_EQ(batchHeadline(summary).english(),
              "Every device was added; 1 cell was refused (not a MAC address).");
    summary.results.resize(2);
    for (MacOutcome outcome : {MacOutcome::Failed, MacOutcome::Unknown, MacOutcome::NotSent}) {
        summary.results[1].outcome = outcome;
        EXPECT_EQ(batchHeadline(summary).english(), "Not every device was added.")
            << outcomeName(outcome);
        EXPECT_TRUE(describeSummary(summary).starts_with("Not every device was added.\n"));
    }
    summary.command = DeviceOperation::Delete;
    summary.serverNotAnswering = "cannot connect";
    EXPECT_EQ(batchHeadline(summary).english(),
              "Delete device stopped: the server is not answering (cannot connect).");
}

// A declined replacement and a header or repeat are different outcomes with different words;
// a report written when both were "skipped" still reads back, and neither is retried.
TEST(BatchHeadline, DistinctOutcomesHaveDistinctWords) {
    EXPECT_NE(outcomeName(MacOutcome::Declined), outcomeName(MacOutcome::Skipped));
    DeviceBatchSummary summary;
    summary.results = {row(1, 1, "02:00:00:00:00:01", MacOutcome::Declined),
                       row(2, 1, "02:00:00:00:00:01", MacOutcome::Skipped)};
    summary.emptyCells = 1;
    const std::string text = describeSummary(summary);
    const std::size_t first = text.find("kipped");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("kipped", first + 1), std::string::npos)
        << "one word, one meaning: " << text;
    EXPECT_NE(text.find("Not replaced (already registered): 1"), std::string::npos) << text;
}

class RetryReportTest : public ::testing::Test {
protected:
    std::string write(const std::string& name, const DeviceBatchSummary& summary) {
        const auto path = m_dir.path() / name;
        EXPECT_TRUE(report::writeReport(path, resultsTable(summary)));
        return path.string();
    }
    std::string writeText(const std::string& name, const std::string& text) {
        const auto path = m_dir.path() / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    // A report's lines as the sheet reader reads them, each as wide as the header; the CSV
    // writer's guards are taken off by the test's expectations, which use plain cells.
    static std::vector<std::vector<std::string>> linesOf(const std::string& path) {
        std::vector<std::vector<std::string>> lines;
        EXPECT_TRUE(sheet::forEachRow(path, [&](int, std::vector<std::string>& cells) {
            cells.resize(resultsHeader().size());
            lines.push_back(cells);
            return support::Status{};
        }));
        return lines;
    }
    // The cells a retry of read sends, as walkRetryRows offers them.
    static MacFile cellsOf(const RetryReport& read) {
        MacFile cells;
        MacCellCheck check = retryCheck(read, mac::kDefaultForm);
        EXPECT_TRUE(walkRetryRows(read, check, [&cells](BatchRow row) {
            if (row.line.empty() && row.result.outcome == MacOutcome::NotSent)
                cells.cells.push_back(
                    MacCell{row.result.row, row.result.column, row.result.macAddress});
            return support::Status{};
        }));
        return cells;
    }
    // A retry of read without a server: each row to send is answered by the next of answers,
    // in order, and the merged report goes to out as the rows come.
    static support::Status merge(const RetryReport& read, const std::vector<MacResult>& answers,
                                 const std::string& out) {
        auto merged = MergedReport::create(out);
        if (!merged) return merged.error();
        MacCellCheck check = retryCheck(read, mac::kDefaultForm);
        std::size_t next = 0;
        auto walked = walkRetryRows(read, check, [&](BatchRow row) {
            if (row.line.empty() && row.result.outcome == MacOutcome::NotSent) {
                EXPECT_LT(next, answers.size());
                if (next == answers.size()) return support::Status{};
                EXPECT_EQ(row.result.row, answers[next].row);
                EXPECT_EQ(row.result.column, answers[next].column);
                row.result = answers[next++];
            }
            return merged->write(row);
        });
        if (!walked) return walked;
        EXPECT_EQ(next, answers.size());
        return merged->commit();
    }
    static std::vector<std::vector<std::string>> linesOf(const report::ReportTable& table) {
        std::vector<std::vector<std::string>> lines{table.header};
        lines.insert(lines.end(), table.rows.begin(), table.rows.end());
        return lines;
    }

    velquor::testing::TempDir m_dir;
};

// Written by the one CSV writer (its ' before a formula-like cell, quotes around a reason with
// commas and line breaks) and by the workbook writer, the rows to retry come back, and a
// retry that changed nothing writes the same report again.
TEST_F(RetryReportTest, AWrittenReportReadsBackWithItsRowsToRetry) {
    DeviceBatchSummary summary;
    summary.results = {
        row(2, 1, "02:00:00:00:00:01", MacOutcome::Added),
        row(3, 1, "02:00:00:00:00:02", MacOutcome::Failed),
        row(4, 1, "-02:00:00:00:00:03", MacOutcome::Refused),
        row(5, 2, "02:00:00:00:00:04", MacOutcome::Unknown, DeviceOperation::Replace),
        row(9, 1, "02:00:00:00:00:05", MacOutcome::NotSent)};
    summary.results[1].reason = "the server refused it, \"NO\",\nlog in again";
    summary.results[4].reason = "=cmd|' /C calc'!A0";
    // A quote of the cell's own is no guard: only one before a formula's lead is taken off.
    summary.results[0].reason = "'abc";
    summary.results[2].reason = "'";
    summary.results[3].reason = "'=1+2";
    DeviceBatchSummary unchanged;
    unchanged.results = {summary.results[1], summary.results[3], summary.results[4]};
    for (const std::string name : {"r.csv", "r.xlsx"}) {
        SCOPED_TRACE(name);
        const std::string path = write(name, summary);
        auto read = readRetryReport(path);
        ASSERT_TRUE(read) << read.error().message;
        EXPECT_EQ(read->command, DeviceOperation::Add);
        EXPECT_EQ(read->lines, 5u);
        EXPECT_EQ(textsOf(cellsOf(*read)),
                  (std::vector<std::string>{"02:00:00:00:00:02", "02:00:00:00:00:04",
                                            "02:00:00:00:00:05"}));
        EXPECT_EQ(rowsOf(cellsOf(*read)), (std::vector<int>{3, 5, 9}));
        EXPECT_EQ(cellsOf(*read).cells[1].column, 2);
        EXPECT_EQ(read->retried, 3u);
        EXPECT_EQ(read->toSend, 3u);
        EXPECT_FALSE(read->oneColumn);
        const std::string again = (m_dir.path() / ("again-" + name)).string();
        ASSERT_TRUE(merge(*read, unchanged.results, again));
        if (name == "r.csv") {
            EXPECT_EQ(velquor::testing::readFile(again), velquor::testing::readFile(path));
        } else {
            EXPECT_EQ(linesOf(again), linesOf(resultsTable(summary)));
        }
    }
}

// The report is written again beside or over itself; the retry's rows take their lines.
TEST_F(RetryReportTest, TheRetrysResultsReplaceOnlyTheRowsRetried) {
    DeviceBatchSummary first;
    first.command = DeviceOperation::Delete;
    first.results = {row(1, 1, "02:00:00:00:00:01", MacOutcome::Deleted, DeviceOperation::Delete),
                     row(2, 1, "02:00:00:00:00:02", MacOutcome::Failed, DeviceOperation::Delete),
                     row(3, 1, "02:00:00:00:00:03", MacOutcome::Deleted, DeviceOperation::Delete)};
    first.results[1].reason = "cannot connect";
    for (const std::string name : {"del.csv", "del.xlsx"}) {
        SCOPED_TRACE(name);
        const std::string path = write(name, first);
        auto read = readRetryReport(path);
        ASSERT_TRUE(read) << read.error().message;
        EXPECT_EQ(read->command, DeviceOperation::Delete);

        DeviceBatchSummary retried;
        retried.command = DeviceOperation::Delete;
        retried.results = {
            row(2, 1, "02:00:00:00:00:02", MacOutcome::Deleted, DeviceOperation::Delete)};
        DeviceBatchSummary whole = first;
        whole.results[1] = retried.results[0];
        ASSERT_TRUE(merge(*read, retried.results, path));
        EXPECT_EQ(linesOf(path), linesOf(resultsTable(whole)));
    }
}

// A failure the server answered for good says so in the report's retry column: a retry keeps
// it as it is, names it and counts it. Made "yes" by hand, it is sent again; any other word
// is refused.
TEST_F(RetryReportTest, RowsAnsweredForGoodAreKeptUnlessTheReportSaysYes) {
    DeviceBatchSummary summary;
    summary.results = {row(2, 1, "02:00:00:00:00:01", MacOutcome::Failed),
                       row(3, 1, "02:00:00:00:00:02", MacOutcome::Failed),
                       row(4, 1, "02:00:00:00:00:03", MacOutcome::Failed),
                       row(5, 1, "02:00:00:00:00:04", MacOutcome::Added)};
    summary.results[0].answeredForGood = true;
    summary.results[0].reason = "registered to another account";
    summary.results[2].answeredForGood = true;
    const report::ReportTable table = resultsTable(summary);
    EXPECT_EQ(table.rows[0].back(), "no");
    EXPECT_EQ(table.rows[1].back(), "yes");
    EXPECT_EQ(table.rows[3].back(), "");

    const std::string path = write("r.csv", summary);
    auto read = readRetryReport(path);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(textsOf(cellsOf(*read)), std::vector<std::string>{"02:00:00:00:00:02"});
    EXPECT_EQ(read->keptCount, 2u);
    ASSERT_EQ(read->kept.size(), 2u);
    EXPECT_EQ(read->kept[0].macAddress, "02:00:00:00:00:01");
    EXPECT_EQ(read->kept[0].reason, "registered to another account");
    EXPECT_EQ(read->kept[1].row, 4);

    DeviceBatchSummary retried;
    retried.results = {row(3, 1, "02:00:00:00:00:02", MacOutcome::Added)};
    const std::string merged = (m_dir.path() / "merged.csv").string();
    ASSERT_TRUE(merge(*read, retried.results, merged));
    DeviceBatchSummary whole = summary;
    whole.results[1] = retried.results[0];
    EXPECT_EQ(linesOf(merged), linesOf(resultsTable(whole)));

    std::string text = velquor::testing::readFile(path);
    const std::string kept = "4,1,A4,02:00:00:00:00:03,add,failed,,no";
    text.replace(text.find(kept), kept.size(), "4,1,A4,02:00:00:00:00:03,add,failed,,yes");
    auto edited = readRetryReport(writeText("edited.csv", text));
    ASSERT_TRUE(edited) << edited.error().message;
    EXPECT_EQ(rowsOf(cellsOf(*edited)), (std::vector<int>{3, 4}));
    EXPECT_EQ(edited->keptCount, 1u);

    text.replace(text.find(",yes\r\n4,1"), 4, ",maybe");
    auto odd = readRetryReport(writeText("odd.csv", text));
    ASSERT_FALSE(odd);
    EXPECT_NE(odd.error().message.find("line 3 is not a device report line: its retry 'maybe'"),
              std::string::npos)
        << odd.error().message;
}

// A report of the first seven columns has every failure retried; written again, it gains the
// retry column, its other lines as they were.
TEST_F(RetryReportTest, AnOlderReportsRowsReadBackAndTheMergedOneHasTheRetryColumn) {
    const std::string path =
        writeText("old.csv",
                  "row,column,cell,mac,operation,outcome,reason\r\n"
                  "1,1,A1,02:00:00:00:00:01,add,skipped,already registered; not replaced\r\n"
                  "2,1,A2,02:00:00:00:00:02,add,failed,registered to another account\r\n"
                  "3,1,A3,02:00:00:00:00:03,add,added,\r\n");
    auto read = readRetryReport(path);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(textsOf(cellsOf(*read)), std::vector<std::string>{"02:00:00:00:00:02"});
    DeviceBatchSummary retried;
    retried.results = {row(2, 1, "02:00:00:00:00:02", MacOutcome::Failed)};
    retried.results[0].answeredForGood = true;
    ASSERT_TRUE(merge(*read, retried.results, path));
    EXPECT_EQ(velquor::testing::readFile(path),
              "row,column,cell,mac,operation,outcome,reason,retry\r\n"
              "1,1,A1,02:00:00:00:00:01,add,skipped,already registered; not replaced,\r\n"
              "2,1,A2,02:00:00:00:00:02,add,failed,,no\r\n"
              "3,1,A3,02:00:00:00:00:03,add,added,,\r\n");
}

// The report read again while its rows are sent must be the one the retry read. Rewritten
// meanwhile (shorter), it is found out before a row is offered; edited in place to the same size
// and time, its lines no longer add up to those read first and it is found out by the end.
// Either way the merged report is not written and the file named for it stays as it was.
TEST_F(RetryReportTest, AReportChangedDuringTheRetryLeavesTheOutputAlone) {
    DeviceBatchSummary summary;
    summary.results = {row(2, 1, "02:00:00:00:00:01", MacOutcome::NotSent),
                       row(3, 1, "02:00:00:00:00:02", MacOutcome::NotSent)};
    const std::vector<MacResult> added = {row(2, 1, "02:00:00:00:00:01", MacOutcome::Added),
                                          row(3, 1, "02:00:00:00:00:02", MacOutcome::Added)};
    auto expectRefused = [](const support::Status& merged) {
        ASSERT_FALSE(merged);
        EXPECT_NE(merged.error().message.find("changed while its rows were retried"),
                  std::string::npos)
            << merged.error().message;
    };

    const std::string path = write("r.csv", summary);
    auto read = readRetryReport(path);
    ASSERT_TRUE(read) << read.error().message;
    summary.results.pop_back();
    write("r.csv", summary);
    const std::string shorter = velquor::testing::readFile(path);
    MacCellCheck check = retryCheck(*read, mac::kDefaultForm);
    int offered = 0;
    expectRefused(walkRetryRows(*read, check, [&offered](BatchRow) {
        ++offered;
        return support::Status{};
    }));
    EXPECT_EQ(offered, 0);
    expectRefused(merge(*read, added, path));
    EXPECT_EQ(velquor::testing::readFile(path), shorter);

    summary.results.push_back(added[1]);
    summary.results.back().outcome = MacOutcome::NotSent;
    write("r.csv", summary);
    auto again = readRetryReport(path);
    ASSERT_TRUE(again) << again.error().message;
    const auto time = std::filesystem::last_write_time(path);
    std::string text = velquor::testing::readFile(path);
    text.replace(text.find("00:02"), 5, "00:03");
    writeText("r.csv", text);
    std::filesystem::last_write_time(path, time);
    const std::string out = (m_dir.path() / "merged.csv").string();
    expectRefused(
        merge(*again, {added[0], row(3, 1, "02:00:00:00:00:03", MacOutcome::Added)}, out));
    EXPECT_FALSE(std::filesystem::exists(out));
}

// The rows a retry sends are checked as a batch checks its cells, a row at a time: a repeat of
// an earlier row is skipped naming it, a cell that is no MAC is refused, and each reaches the
// merged report in its place; one written longer than its field stops the retry before it
// begins.
TEST_F(RetryReportTest, TheRowsSentAgainAreCheckedAsTheyCome) {
    const std::string header = "row,column,cell,mac,operation,outcome,reason,retry\r\n";
    const std::string path =
        writeText("r.csv", header +
                               "2,1,A2,02:00:00:00:00:01,add,failed,,yes\r\n"
                               "3,1,A3,02:00:00:00:00:02,add,added,,\r\n"
                               "4,1,A4,02-00-00-00-00-01,add,not sent,,yes\r\n"
                               "5,1,A5,not a mac,add,\"unknown (sent, no reply)\",,yes\r\n");
    auto read = readRetryReport(path);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->retried, 3u);
    EXPECT_EQ(read->toSend, 1u);
    std::vector<BatchRow> rows;
    MacCellCheck check = retryCheck(*read, mac::kDefaultForm);
    ASSERT_TRUE(walkRetryRows(*read, check, [&rows](BatchRow row) {
        rows.push_back(std::move(row));
        return support::Status{};
    }));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].result.outcome, MacOutcome::NotSent);
    EXPECT_EQ(rows[0].result.written, "020000000001");
    EXPECT_FALSE(rows[1].line.empty()) << "the added row passes on as it was";
    EXPECT_EQ(rows[2].result.outcome, MacOutcome::Skipped);
    EXPECT_EQ(rows[2].result.reason, "repeats row 2");
    EXPECT_EQ(rows[3].result.outcome, MacOutcome::Refused);

    const std::string longCell = "02:00:00:00:00:05" + std::string(60, ' ');
    auto tooLong = readRetryReport(
        writeText("long.csv", header + "2,1,A2," + longCell + ",add,failed,,yes\r\n"),
        mac::Form::AsWritten);
    ASSERT_FALSE(tooLong);
    EXPECT_NE(tooLong.error().message.find("The MAC address in cell A2 of the MAC addresses given"),
              std::string::npos)
        << tooLong.error().message;
}

TEST_F(RetryReportTest, WhatIsNoReportIsRefusedNamingTheFileAndLine) {
    const std::string header = "row,column,cell,mac,operation,outcome,reason\r\n";
    const std::string header8 = "row,column,cell,mac,operation,outcome,reason,retry\r\n";
    struct Case {
        std::string text;
        std::string said;
    } cases[] = {
        {"001122334455\r\n001122334456\r\n", "its first line is not row,column,cell"},
        {"", "its first line is not"},
        {header + "2,1,A2,001122334455,add,failed,\r\nx,1,A3,001122334456,add,failed,\r\n",
         "line 3 is not a device report line: its row or column is no number"},
        {header + "2,1,B2,001122334455,add,failed,\r\n", "its cell 'B2' is not row 2, column 1"},
        {header + "2,1,A2,001122334455,register,failed,\r\n", "its operation 'register'"},
        {header + "2,1,A2,001122334455,add,lost,\r\n", "its outcome 'lost' is unknown"},
        {header + "2,1,A2,001122334455,add,failed,,extra\r\n", "beyond the report's 7 columns"},
        {header8 + "2,1,A2,001122334455,add,failed,,yes,extra\r\n",
         "beyond the report's 8 columns"},
        {header + "2,1,A2,001122334455,add,failed,\r\n3,1,A3,001122334456,delete,failed,\r\n",
         "line 3 mixes add and delete rows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = writeText("bad.csv", c.text);
        auto read = readRetryReport(path);
        ASSERT_FALSE(read);
        EXPECT_NE(read.error().message.find(path), std::string::npos) << read.error().message;
        EXPECT_NE(read.error().message.find(c.said), std::string::npos) << read.error().message;
    }
    auto missing = readRetryReport((m_dir.path() / "none.csv").string());
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("Cannot read the report"), std::string::npos);
}

}  // namespace
}  // namespace velquor::provisioning
