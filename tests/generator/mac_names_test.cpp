// The MAC column checked before anything is written, over real sheets, templates and folders:
// which files a messy sheet gives in each form, what the report says of the other rows, and
// the command line's --check and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>

#include "generator/outputs/existing_outputs.h"
#include "generator/run/generation_job.h"
#include "generator/run/generation_report.h"
#include "generator_fixtures.h"
#include "report/csv_writer.h"
#include "support/progress.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using test::filesBelow;
using test::Rows;
using test::xpathInFile;
using velquor::testing::readFile;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;

// A sheet as technicians send them: separators, a trailing space, one phone in two cases.
Rows messySheet() {
    Rows rows = test::deviceSheet(6);
    const char* macs[] = {"00:1A:2B:3C:4D:5E", "00-1a-2b-3c-4d-5f", "001A2B3C4D60 ",
                          "001A2B3C4D61",      "001a2b3c4d61",      "not-a-mac"};
    for (int i = 0; i < 6; ++i) rows[static_cast<std::size_t>(i) + 1][0] = macs[i];
    return rows;
}

class MacNames : public ::testing::Test {
protected:
    MacNames() {
        velquor::testing::writeFile(m_dir / "t.xml", test::kTemplate);
        test::writeCsv(m_dir / "s.csv", messySheet());
    }

    GenerationRequest request(mac::Form form = mac::kDefaultForm) const {
        GenerationRequest request;
        request.templatePath = (m_dir / "t.xml").string();
        request.sheetPath = (m_dir / "s.csv").string();
        request.outputFolder = out().string();
        request.macForm = form;
        return request;
    }

    GenerationReport run(const GenerationRequest& request) const {
        support::NullProgress progress;
        auto report = runGeneration(request, progress);
        if (!report) throw std::runtime_error(report.error().message);
        return std::move(report).value();
    }

    int cli(const std::string& arguments, std::string* output = nullptr) const {
        int status = -1;
        const std::string text =
            runCommand("cd " + shellQuote(m_dir.path().string()) +
                           " && XDG_CONFIG_HOME=" + shellQuote((m_dir / "config").string()) + " " +
                           shellQuote(VELQUOR_BINARY_DIR "/src/cli/velquor-cli") + " generate " +
                           arguments + " 2>&1",
                       &status);
        if (output != nullptr) *output = text;
        return status;
    }

    fs::path out() const { return m_dir / "out"; }

    velquor::testing::TempDir m_dir;
};

TEST_F(MacNames, AMessySheetGivesOneFilePerPhoneInThePlainForm) {
    const GenerationReport report = run(request());
    EXPECT_EQ(filesBelow(out()),
              (std::vector<std::string>{"001A2B3C4D5E.xml", "001A2B3C4D60.xml", "001a2b3c4d5f.xml",
                                        "001a2b3c4d61.xml"}));
    EXPECT_EQ(xpathInFile(out() / "001a2b3c4d61.xml", "//DisplayName"), "Name 5")
        << "the later row of the phone wins";
    ASSERT_EQ(report.devices.size(), 6U);
    EXPECT_EQ(report.devices[0].reason, "row 2: written as 001A2B3C4D5E");
    EXPECT_EQ(report.devices[0].fileName, "001A2B3C4D5E.xml");
    EXPECT_EQ(report.devices[0].mac, "00:1A:2B:3C:4D:5E") << "the cell as the user typed it";
    EXPECT_EQ(report.devices[2].reason, "row 4: written as 001A2B3C4D60");
    EXPECT_EQ(report.devices[3].outcome, DeviceOutcome::Superseded);
    EXPECT_EQ(report.devices[3].reason,
              "rows 5 and 6 differ in DisplayName, UserID, AuthID, Password, Proxy, SIPPort; row "
              "6 is used");
    EXPECT_TRUE(report.devices[3].plainFile.empty()) << "nothing is written for it";
    EXPECT_EQ(report.devices[4].outcome, DeviceOutcome::Written);
    EXPECT_EQ(report.devices[5].outcome, DeviceOutcome::Refused);
    EXPECT_EQ(report.devices[5].reason, "row 7: not a MAC address");
    EXPECT_TRUE(report.mixedCase);
    EXPECT_FALSE(report.allWritten());
    EXPECT_EQ(report.filesWritten(), 4U);

    const std::string summary = generationSummaryText(report);
    EXPECT_NE(summary.find("4 of 6 device rows written."), std::string::npos) << summary;
    EXPECT_NE(summary.find("- row 7: not a MAC address"), std::string::npos) << summary;
    EXPECT_NE(summary.find("- rows 5 and 6 differ in DisplayName,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("set mac-form"), std::string::npos) << summary;

    const std::string csv = velquor::report::csvText(generationReportTable(report));
    EXPECT_NE(csv.find("7,not-a-mac,,,refused,row 7: not a MAC address\r\n"), std::string::npos)
        << csv;
}

TEST_F(MacNames, EachFormNamesTheFilesAndTheirEncryptedCopiesItsWay) {
    GenerationRequest lower = request(mac::Form::Lower);
    lower.encrypt = true;
    lower.keyText = "k";
    const GenerationReport report = run(lower);
    EXPECT_EQ(
        filesBelow(out()),
        (std::vector<std::string>{"001a2b3c4d5e.xml", "001a2b3c4d5f.xml", "001a2b3c4d60.xml",
                                  "001a2b3c4d61.xml", "en/001a2b3c4d5e.xml", "en/001a2b3c4d5f.xml",
                                  "en/001a2b3c4d60.xml", "en/001a2b3c4d61.xml"}));
    EXPECT_FALSE(report.mixedCase) << "one case for every file";

    fs::remove_all(out());
    run(request(mac::Form::Upper));
    EXPECT_EQ(filesBelow(out()).front(), "001A2B3C4D5E.xml");
    EXPECT_EQ(filesBelow(out()).size(), 4U);

    fs::remove_all(out());
    const GenerationReport asWritten = run(request(mac::Form::AsWritten));
    EXPECT_EQ(filesBelow(out()),
              (std::vector<std::string>{"00-1a-2b-3c-4d-5f.xml", "001A2B3C4D60 .xml",
                                        "001a2b3c4d61.xml", "00:1A:2B:3C:4D:5E.xml"}));
    EXPECT_EQ(asWritten.devices[5].outcome, DeviceOutcome::Refused) << "still no MAC address";
    EXPECT_TRUE(asWritten.devices[0].reason.empty()) << "nothing was rewritten";
}

TEST_F(MacNames, TheLookAtTheFolderNamesTheFilesAsTheRunWill) {
    fs::create_directories(out());
    velquor::testing::writeFile(out() / "001A2B3C4D5E.xml", "old");
    velquor::testing::writeFile(out() / "00:1A:2B:3C:4D:5E.xml", "not ours any more");
    velquor::testing::writeFile(out() / "001A2B3C4D61.xml", "replaced row's spelling");
    auto existing = findExistingOutputs(request());
    ASSERT_TRUE(existing) << existing.error().message;
    EXPECT_EQ(existing->replacedFiles, 1U);
    existing = findExistingOutputs(request(mac::Form::AsWritten));
    ASSERT_TRUE(existing);
    EXPECT_EQ(existing->replacedFiles, 1U);
}

TEST_F(MacNames, TheCheckAloneNeedsOnlyTheSheetAndWritesNothing) {
    GenerationRequest onlySheet;
    onlySheet.sheetPath = (m_dir / "s.csv").string();
    auto report = checkDeviceSheet(onlySheet);
    ASSERT_TRUE(report) << report.error().message;
    EXPECT_EQ(report->count(DeviceOutcome::Checked), 4U);
    EXPECT_EQ(report->count(DeviceOutcome::Refused), 1U);
    EXPECT_EQ(report->count(DeviceOutcome::Superseded), 1U);
    EXPECT_EQ(report->devices[1].fileName, "001a2b3c4d5f.xml");
    EXPECT_FALSE(fs::exists(out()));
    EXPECT_NE(generationSummaryText(*report).find("Check: 4 of 6 device rows can be used"),
              std::string::npos);
}

TEST_F(MacNames, TheCommandLineRefusesWithExitOneAndChecksOnRequest) {
    std::string output;
    EXPECT_EQ(cli("-s s.csv --check", &output), 1) << output;
    EXPECT_NE(output.find("row 7: not a MAC address"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(out()));

    EXPECT_EQ(cli("-t t.xml -s s.csv -o out --report r.csv", &output), 1) << output;
    EXPECT_EQ(filesBelow(out()).size(), 4U);
    const std::string csv = readFile(m_dir / "r.csv");
    EXPECT_NE(csv.find("refused,row 7: not a MAC address"), std::string::npos) << csv;
    EXPECT_NE(csv.find("replaced,\"rows 5 and 6 differ in DisplayName,"), std::string::npos) << csv;

    test::writeCsv(m_dir / "clean.csv", test::deviceSheet(2));
    EXPECT_EQ(cli("-s clean.csv --check", &output), 0) << output;
    EXPECT_EQ(cli("-s clean.csv --check --mac-form mixed", &output), 2) << output;

    // The setting gives the form when no option does.
    fs::create_directories(m_dir / "config" / "velquor");
    velquor::testing::writeFile(m_dir / "config" / "velquor" / "velquor.conf",
                                "[devices]\nmac-form = upper\n");
    EXPECT_EQ(cli("-t t.xml -s s.csv -o upper", &output), 1) << output;
    EXPECT_TRUE(fs::exists(m_dir / "upper" / "001A2B3C4D61.xml")) << output;
    EXPECT_EQ(cli("-t t.xml -s s.csv -o lower --mac-form lower", &output), 1) << output;
    EXPECT_TRUE(fs::exists(m_dir / "lower" / "001a2b3c4d5e.xml")) << output;
}

// Names in both cases are found by the check before the run, counted, with the setting that
// fixes them, and the command line says so before the first file is written.
TEST_F(MacNames, NamesInBothCasesAreSaidBeforeTheRunWithTheSettingThatFixesThem) {
    Rows rows = test::deviceSheet(0);
    for (const char* mac : {"001A2B3C4D5E", "00:1A:2B:3C:4D:5F", "001a2b3c4d60", "001122334455"}) {
        rows.push_back({mac, "A", "1", "1", "p", "s", "5060"});
    }
    test::writeCsv(m_dir / "s.csv", rows);
    auto checked = checkDeviceSheet(request());
    ASSERT_TRUE(checked);
    EXPECT_TRUE(checked->mixedCase);
    EXPECT_EQ(checked->upperCaseNames, 2u);
    EXPECT_EQ(checked->lowerCaseNames, 1u);
    const std::string said = mixedCasePhrase(*checked).english();
    EXPECT_NE(said.find("(2 with upper-case letters, 1 with lower-case ones)"), std::string::npos)
        << said;
    EXPECT_NE(said.find("--mac-form"), std::string::npos) << said;
    EXPECT_NE(generationSummaryText(*checked).find(said), std::string::npos);
    EXPECT_FALSE(checkDeviceSheet(request(mac::Form::Lower))->mixedCase);

    std::string output;
    ASSERT_EQ(cli("-t t.xml -s s.csv -o out", &output), 0) << output;
    const std::size_t warning = output.find("warning: " + said);
    ASSERT_NE(warning, std::string::npos) << output;
    EXPECT_LT(warning, output.find("Success !")) << output;
    EXPECT_EQ(output.find(said, warning + said.size()), std::string::npos) << "said once";
}

// A file name may be as long as the file system allows (255 bytes) and no longer: the pattern
// is taken while the longest MAC it may hold still fits, and a MAC written as its cell has it
// names its file up to that length.
TEST_F(MacNames, AFileNameOfTheLongestLengthIsWrittenAndOneByteMoreIsRefused) {
    constexpr std::size_t kLongestName = 255;
    constexpr std::size_t kLongestMac = 17;  // "00-1A-2B-3C-4D-5E"
    const std::string fits = std::string(kLongestName - kLongestMac - 4, 'p') + "{mac}.xml";
    ASSERT_TRUE(mac::FileNamePattern::parse(fits)) << "the longest pattern";
    EXPECT_FALSE(mac::FileNamePattern::parse("p" + fits)) << "one byte more";

    Rows rows = test::deviceSheet(1);
    rows[1][0] = "00-1A-2B-3C-4D-5E";
    test::writeCsv(m_dir / "s.csv", rows);
    GenerationRequest asWritten = request(mac::Form::AsWritten);
    asWritten.fileName = *mac::FileNamePattern::parse(fits);
    const GenerationReport report = run(asWritten);
    ASSERT_EQ(report.count(DeviceOutcome::Written), 1u) << generationSummaryText(report);
    ASSERT_EQ(report.devices[0].fileName.size(), kLongestName);
    EXPECT_TRUE(fs::exists(out() / report.devices[0].fileName));

    // The same through the command line, and one byte more refused as a usage error.
    std::string output;
    EXPECT_EQ(
        cli("-t t.xml -s s.csv -o cli --mac-form as-written --file-name '" + fits + "'", &output),
        0)
        << output;
    EXPECT_EQ(filesBelow(m_dir / "cli").size(), 1u) << output;
    EXPECT_EQ(cli("-t t.xml -s s.csv -o cli2 --file-name 'p" + fits + "'", &output), 2) << output;
    EXPECT_NE(output.find("too long"), std::string::npos) << output;
}

}  // namespace
}  // namespace velquor::generator
