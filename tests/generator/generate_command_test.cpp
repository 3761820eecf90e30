// velquor-cli generate as a user runs it: exit statuses, the files, the CSV and .xlsx reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "generator_fixtures.h"
#include "report_readback.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using velquor::testing::readFile;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;

class GenerateCommand : public ::testing::Test {
protected:
    GenerateCommand() {
        velquor::testing::writeFile(m_dir / "t.xml", test::kTemplate);
        test::writeCsv(m_dir / "s.csv", test::deviceSheet(3));
    }

    int run(const std::string& arguments, std::string* output = nullptr) {
        int status = -1;
        const std::string text =
            runCommand("cd " + shellQuote(m_dir.path().string()) + " && " +
                           shellQuote(VELQUOR_BINARY_DIR "/src/cli/velquor-cli") + " generate " +
                           arguments + " 2>&1",
                       &status);
        if (output != nullptr) *output = text;
        return status;
    }

    // s.csv: the phones 00:15:65:0a:33:fb and :fc.
    void writeTwoPhones() {
        auto rows = test::deviceSheet(0);
        rows.push_back({"00:15:65:0a:33:fb", "A", "1", "1", "p", "s", "5060"});
        rows.push_back({"00:15:65:0a:33:fc", "B", "1", "1", "p", "s", "5060"});
        test::writeCsv(m_dir / "s.csv", rows);
    }

    velquor::testing::TempDir m_dir;
};

TEST_F(GenerateCommand, WritesEveryDeviceAndExitsZero) {
    std::string output;
    EXPECT_EQ(
        run("--template t.xml --sheet s.csv --out out --key-hex 00112233445566778899aabbccddeeff "
            "--report report.csv",
            &output),
        0);
    EXPECT_EQ(output, "Success !\n");
    EXPECT_EQ(test::filesBelow(m_dir / "out").size(), 6u);
    const std::string report = readFile(m_dir / "report.csv");
    EXPECT_NE(
        report.find("\r\n4,001122334403,out/001122334403.xml,out/en/001122334403.xml,written,\r\n"),
        std::string::npos)
        << report;
}

// md5sum itself checks the lists a run leaves beside its files and in "en".
TEST_F(GenerateCommand, EveryFolderWrittenHoldsAnMd5sumsListOfItsFiles) {
    std::string output;
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k --file-name 'cfg{mac}.cfg'", &output), 0)
        << output;
    for (const fs::path& folder : {m_dir / "out", m_dir / "out" / "en"}) {
        const std::string list = readFile(folder / "MD5SUMS");
        EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 3) << list;
        EXPECT_NE(list.find("  cfg001122334401.cfg\n"), std::string::npos) << list;
        int status = -1;
        const std::string checked = runCommand(
            "cd " + shellQuote(folder.string()) + " && md5sum -c --strict MD5SUMS 2>&1", &status);
        EXPECT_EQ(status, 0) << checked;
    }
    EXPECT_NE(readFile(m_dir / "out" / "MD5SUMS"), readFile(m_dir / "out" / "en" / "MD5SUMS"));
    // A second run without a key: the plain list is the new run's, en/ keeps the old list.
    velquor::testing::writeFile(m_dir / "t.xml", std::string(test::kTemplate) + "<!-- 2 -->");
    const std::string encryptedList = readFile(m_dir / "out" / "en" / "MD5SUMS");
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --file-name 'cfg{mac}.cfg'", &output), 0) << output;
    int status = -1;
    runCommand("cd " + shellQuote((m_dir / "out").string()) + " && md5sum -c --strict MD5SUMS",
               &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(m_dir / "out" / "en" / "MD5SUMS"), encryptedList);
    ASSERT_EQ(run("-t t.xml -s s.csv -o dry --dry-run", &output), 0) << output;
    EXPECT_FALSE(fs::exists(m_dir / "dry" / "MD5SUMS"));
}

TEST_F(GenerateCommand, AFailedRowMeansExitOneWithTheReasonAndTheReport) {
    auto rows = test::deviceSheet(3);
    rows[2][0] = "../x";
    test::writeCsv(m_dir / "s.csv", rows);
    std::string output;
    EXPECT_EQ(run("--template t.xml --sheet s.csv --out out --report report.csv", &output), 1);
    EXPECT_NE(output.find("2 of 3 device rows written."), std::string::npos) << output;
    EXPECT_NE(output.find("row 3: not a MAC address"), std::string::npos);
    EXPECT_NE(readFile(m_dir / "report.csv").find("3,../x,,,refused,"), std::string::npos);
}

// The MAC cells a spreadsheet would turn into numbers or run as formulas: the .xlsx report
// gives each back as its text, the CSV report guards the formula-like ones.
TEST_F(GenerateCommand, ReportsKeepEveryMacAsWrittenAndRunNoFormula) {
    const std::vector<std::string> macs = {"001122334455", "0011223344E5", "=1+2", "+A1",
                                           "-2",           "@SUM(1)",      "\tx",  "\rx"};
    auto rows = test::deviceSheet(0);
    for (const std::string& mac : macs) rows.push_back({mac, "Name", "1", "1", "p", "s", "5060"});
    test::writeCsv(m_dir / "s.csv", rows);
    run("--template t.xml --sheet s.csv --out out --report r.xlsx");
    run("--template t.xml --sheet s.csv --out out --report r.csv");

    const auto book = velquor::testing::readWorkbook(m_dir / "r.xlsx");
    ASSERT_TRUE(book.ok) << book.output;
    const auto csv = velquor::testing::readCsvRows(m_dir / "r.csv");
    ASSERT_EQ(csv.size(), macs.size() + 1) << readFile(m_dir / "r.csv");
    for (std::size_t i = 0; i < macs.size(); ++i) {
        const int row = static_cast<int>(i) + 2;
        const auto* cell = book.at(row, 2);
        ASSERT_NE(cell, nullptr) << macs[i];
        EXPECT_EQ(cell->text, macs[i]);
        EXPECT_EQ(cell->type, 's') << macs[i];
        for (int column = 1; column <= 6; ++column) {
            if (const auto* any = book.at(row, column)) {
                EXPECT_EQ(any->type, 's') << any->text;
            }
        }
        EXPECT_EQ(csv[i + 1][1], i < 2 ? macs[i] : "'" + macs[i]);
    }
}

TEST_F(GenerateCommand, BadInvocationsAndUnloadableTemplatesWriteNothing) {
    std::string output;
    EXPECT_EQ(run("--template t.xml --sheet s.csv", &output), 2);
    EXPECT_NE(output.find("--out"), std::string::npos);
    EXPECT_EQ(run("--template t.xml --sheet s.csv --out out --key a --key-hex 00"), 2);
    EXPECT_EQ(run("--template t.xml --sheet s.csv --out out --bogus"), 2);
    velquor::testing::writeFile(m_dir / "bad.xml", "<Config>");
    EXPECT_EQ(run("--template bad.xml --sheet s.csv --out out", &output), 1);
    EXPECT_NE(output.find("bad.xml"), std::string::npos) << output;
    EXPECT_EQ(run("--template t.xml --sheet s.csv --out out --dry-run --key k", &output), 0);
    EXPECT_NE(output.find("Dry run: 3 of 3"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(m_dir / "out"));
}

TEST_F(GenerateCommand, AReportOverAnInputOrADeviceFileIsRefusedBeforeAnythingIsWritten) {
    const std::string sheet = readFile(m_dir / "s.csv");
    fs::create_directories(m_dir / "out" / "en");
    for (const char* report : {"s.csv", "./t.xml", "out/001122334401.xml", "out/en/x.xml"}) {
        std::string output;
        EXPECT_EQ(run(std::string("-t t.xml -s s.csv -o out --key k --report ") + report, &output),
                  1)
            << report;
        EXPECT_NE(output.find("choose another report file"), std::string::npos) << output;
        EXPECT_TRUE(test::filesBelow(m_dir / "out").empty()) << report;
    }
    EXPECT_EQ(readFile(m_dir / "s.csv"), sheet);
    EXPECT_EQ(readFile(m_dir / "t.xml"), test::kTemplate);
    // An output folder the run has still to make is recognised by its spelling.
    std::string output;
    EXPECT_EQ(run("-t t.xml -s s.csv -o new/ --report ./new/001122334402.xml", &output), 1);
    EXPECT_FALSE(fs::exists(m_dir / "new")) << output;
}

TEST_F(GenerateCommand, TheFileNamePatternNamesEveryFileAndAnUnfitOneIsAUsageError) {
    std::string output;
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k --file-name 'cfg{mac}.cfg' --mac-form lower",
                  &output),
              0)
        << output;
    EXPECT_EQ(test::filesBelow(m_dir / "out"),
              (std::vector<std::string>{"cfg001122334401.cfg", "cfg001122334402.cfg",
                                        "cfg001122334403.cfg", "en/cfg001122334401.cfg",
                                        "en/cfg001122334402.cfg", "en/cfg001122334403.cfg"}));
    EXPECT_EQ(run("-t t.xml -s s.csv -o out --report out/cfg001122334401.cfg "
                  "--file-name 'cfg{mac}.cfg'",
                  &output),
              1)
        << "a report may not take a device file's place under the pattern either";
    for (const char* pattern : {"'{mac}/x.xml'", "'..{mac}'", "x.xml", "'{mac}{mac}'"}) {
        EXPECT_EQ(run(std::string("-t t.xml -s s.csv -o other --file-name ") + pattern, &output), 2)
            << pattern;
        EXPECT_NE(output.find("--file-name: '"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(m_dir / "other"));
    }
    fs::create_directories(m_dir / "conf" / "velquor");
    velquor::testing::writeFile(m_dir / "conf" / "velquor" / "velquor.conf",
                                "[devices]\nfile-name = {mac}.cfg\nmac-form = upper\n");
    const std::string withSettings =
        "XDG_CONFIG_HOME=" + shellQuote((m_dir / "conf").string()) +
        " VELQUOR_SYSTEM_CONFIG_DIR=" + shellQuote((m_dir / "none").string()) + " ";
    int status = -1;
    output = runCommand("cd " + shellQuote(m_dir.path().string()) + " && " + withSettings +
                            shellQuote(VELQUOR_BINARY_DIR "/src/cli/velquor-cli") +
                            " generate -t t.xml -s s.csv -o set 2>&1",
                        &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(fs::exists(m_dir / "set" / "001122334401.cfg")) << "the [devices] setting applies";
}

// A phone's file under another spelling, case or today's pattern is a stale twin: kept with a
// warning by default, removed with --stale remove once the new files are written.
TEST_F(GenerateCommand, StaleTwinsAreCountedAndRemovedOnlyWhenAsked) {
    writeTwoPhones();
    std::string output;
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k", &output), 0) << output;
    velquor::testing::writeFile(m_dir / "out" / "notes.xml", "mine");
    velquor::testing::writeFile(m_dir / "out" / "0015650a33fd.xml", "another phone");
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k --mac-form upper", &output), 0);
    EXPECT_NE(output.find("warning: 4 files of these phones are under another name, such as "
                          "0015650a33fb.xml."),
              std::string::npos)
        << output;
    EXPECT_EQ(test::filesBelow(m_dir / "out").size(), 10u) << "both kept";
    EXPECT_EQ(run("-t t.xml -s s.csv -o out --stale maybe", &output), 2);
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k --mac-form upper --stale remove", &output), 0)
        << output;
    EXPECT_NE(output.find("4 files of these phones under another name removed."), std::string::npos)
        << output;
    EXPECT_EQ(
        test::filesBelow(m_dir / "out"),
        (std::vector<std::string>{"0015650A33FB.xml", "0015650A33FC.xml", "0015650a33fd.xml",
                                  "en/0015650A33FB.xml", "en/0015650A33FC.xml", "notes.xml"}));
    // Another pattern: today's names are twins of the new ones.
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --mac-form upper --file-name 'cfg{mac}.cfg' "
                  "--stale remove",
                  &output),
              0)
        << output;
    EXPECT_FALSE(fs::exists(m_dir / "out" / "0015650A33FB.xml"));
    EXPECT_TRUE(fs::exists(m_dir / "out" / "cfg0015650A33FB.cfg"));
}

// Files an earlier run wrote under another pattern are twins; a phone's own upload, a file of
// another kind and a phone not in the run stay whatever is answered.
TEST_F(GenerateCommand, AnotherPatternsFilesAreTwinsAndNothingElseIs) {
    writeTwoPhones();
    std::string output;
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k --mac-form upper --file-name 'cfg{mac}.cfg'",
                  &output),
              0)
        << output;
    velquor::testing::writeFile(m_dir / "out" / "0015650a33fb-contacts.xml", test::kTemplate);
    velquor::testing::writeFile(m_dir / "out" / "0015650a33fb.cfg", "<contacts/>");
    velquor::testing::writeFile(m_dir / "out" / "cfg0015650a33fd.cfg", test::kTemplate);
    const auto before = test::filesBelow(m_dir / "out");

    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k", &output), 0) << output;
    EXPECT_NE(output.find("warning: 4 files of these phones are under another name, such as "
                          "cfg0015650A33FB.cfg. 2 files will be replaced."),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(" Those under another name stay; --stale remove removes them.\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(test::filesBelow(m_dir / "out").size(), before.size() + 4);

    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k --stale remove", &output), 0) << output;
    EXPECT_NE(output.find(": 4 files of these phones under another name removed.\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(
        test::filesBelow(m_dir / "out"),
        (std::vector<std::string>{"0015650a33fb-contacts.xml", "0015650a33fb.cfg",
                                  "0015650a33fb.xml", "0015650a33fc.xml", "cfg0015650a33fd.cfg",
                                  "en/0015650a33fb.xml", "en/0015650a33fc.xml"}));
}

// --check with a template looks at the fields too: an empty Password is named before any run,
// a placeholder nothing fills refuses the check as it refuses the run.
TEST_F(GenerateCommand, TheCheckWithATemplateNamesEmptyCellsAndMissingPlaceholders) {
    auto rows = test::deviceSheet(2);
    rows[1][4] = "";
    test::writeCsv(m_dir / "s.csv", rows);
    std::string output;
    EXPECT_EQ(run("--check -t t.xml -s s.csv", &output), 0) << output;
    EXPECT_NE(output.find("row 2: checked, with Password (E) empty"), std::string::npos) << output;
    EXPECT_TRUE(output.starts_with("Columns and what they fill:\n")) << output;
    EXPECT_NE(output.find("\n  E  Password: Ext1/SubscriberInformation/Password in t.xml\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("warning:"), std::string::npos) << "said once, in the summary";
    EXPECT_EQ(run("--check -s s.csv", &output), 0);
    EXPECT_EQ(output.find("Password empty"), std::string::npos) << "the MAC column alone";
    std::string missing = test::kTemplate;
    missing.insert(missing.rfind("</"), "<TimeZone>{{TimeZone}}</TimeZone>");
    velquor::testing::writeFile(m_dir / "m.xml", missing);
    EXPECT_EQ(run("--check -t m.xml -s s.csv", &output), 1);
    EXPECT_NE(output.find("{{TimeZone}} in the template m.xml"), std::string::npos) << output;
    EXPECT_NE(output.find("row 2: checked, with Password (E) empty"), std::string::npos)
        << "the rest is checked too";
    EXPECT_EQ(run("-t m.xml -s s.csv -o out", &output), 1);
    EXPECT_FALSE(fs::exists(m_dir / "out"));
}

TEST_F(GenerateCommand, FilesToBeReplacedAndStaleEncryptedCopiesAreWarnedAboutFirst) {
    std::string output;
    ASSERT_EQ(run("-t t.xml -s s.csv -o out --key k", &output), 0) << output;
    EXPECT_EQ(output, "Success !\n");
    // Again without a key: the three plain files and MD5SUMS are replaced, the three copies
    // left stale.
    EXPECT_EQ(run("-t t.xml -s s.csv -o out", &output), 0);
    EXPECT_NE(output.find("warning: 4 files will be replaced. 3 encrypted copies in out/en"),
              std::string::npos)
        << output;
    EXPECT_TRUE(output.ends_with("Success !\n")) << output;
}

// A folder's MD5SUMS is the folder's as much as the run's: a firmware's line stays, a second
// batch keeps the first batch's lines, a line of a file that is gone goes and is counted, and
// the list is named before the run; no report may take its place, and a list that is a link
// is left alone.
TEST_F(GenerateCommand, AFoldersOwnMd5sumsKeepsEveryLineButThoseOfFilesGone) {
    const fs::path out = m_dir / "out";
    fs::create_directories(out);
    velquor::testing::writeFile(out / "firmware.bin", "firmware");
    velquor::testing::writeFile(out / "gone.bin", "soon gone");
    int status = -1;
    runCommand("cd " + shellQuote(out.string()) + " && md5sum firmware.bin gone.bin > MD5SUMS",
               &status);
    ASSERT_EQ(status, 0);
    const std::string firmwareLine = readFile(out / "MD5SUMS").substr(0, 46);
    fs::remove(out / "gone.bin");
    auto first = test::deviceSheet(3);
    first.pop_back();  // 001122334401 and 02
    test::writeCsv(m_dir / "first.csv", first);
    auto second = test::deviceSheet(3);
    second.erase(second.begin() + 1, second.begin() + 3);  // 001122334403
    test::writeCsv(m_dir / "second.csv", second);

    std::string output;
    ASSERT_EQ(run("-t t.xml -s first.csv -o out", &output), 0) << output;
    EXPECT_NE(output.find("warning: 1 file will be replaced. MD5SUMS keeps its lines of other "
                          "files (1) and drops those whose file is gone (1)"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("1 line of MD5SUMS named a file no longer there and was dropped."),
              std::string::npos)
        << output;
    ASSERT_EQ(run("-t t.xml -s second.csv -o out", &output), 0) << output;
    const std::string list = readFile(out / "MD5SUMS");
    EXPECT_TRUE(list.starts_with(firmwareLine + "\n")) << list;
    for (const char* name :
         {"  001122334401.xml\n", "  001122334402.xml\n", "  001122334403.xml\n"}) {
        EXPECT_NE(list.find(name), std::string::npos) << name << list;
    }
    EXPECT_EQ(list.find("gone.bin"), std::string::npos) << list;
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 4) << list;
    const std::string checked =
        runCommand("cd " + shellQuote(out.string()) + " && md5sum -c --strict MD5SUMS", &status);
    EXPECT_EQ(status, 0) << checked;

    // A report over the list is refused before anything is written.
    EXPECT_EQ(run("-t t.xml -s s.csv -o out --report out/MD5SUMS", &output), 1);
    EXPECT_NE(output.find("MD5SUMS list of out"), std::string::npos) << output;
    EXPECT_EQ(readFile(out / "MD5SUMS"), list);
    EXPECT_EQ(run("-t t.xml -s s.csv -o out --key k --report out/en/MD5SUMS", &output), 1);

    // A list that is a link is no list of the run's to rewrite.
    velquor::testing::writeFile(m_dir / "elsewhere", "kept as it is\n");
    fs::remove(out / "MD5SUMS");
    fs::create_symlink(m_dir / "elsewhere", out / "MD5SUMS");
    EXPECT_EQ(run("-t t.xml -s s.csv -o out", &output), 1);
    EXPECT_NE(output.find("MD5SUMS was left as it is: it is not a regular file"), std::string::npos)
        << output;
    EXPECT_TRUE(fs::is_symlink(out / "MD5SUMS"));
    EXPECT_EQ(readFile(m_dir / "elsewhere"), "kept as it is\n");

    // The help names it.
    EXPECT_EQ(run("--help", &output), 0);
    EXPECT_NE(output.find("MD5SUMS"), std::string::npos);
}

}  // namespace
}  // namespace velquor::generator
