// The generation job over real sheets (.csv and .xlsx) and templates in a temporary folder:
// the files it writes, the rows it refuses and why, and what the user is told.
#include "generator/run/generation_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "crypto/config_file.h"
#include "file_size_limit.h"
#include "generator/run/generation_report.h"
#include "generator_fixtures.h"
#include "report/csv_writer.h"
#include "support/reporter.h"
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
using velquor::testing::writeFile;

class GenerationJob : public ::testing::Test {
protected:
    GenerationJob() { writeFile(m_dir / "template.xml", test::kTemplate); }

    GenerationRequest request(const Rows& rows, bool xlsx = false) {
        const fs::path sheet = m_dir / (xlsx ? "devices.xlsx" : "devices.csv");
        xlsx ? test::writeXlsx(sheet, rows) : test::writeCsv(sheet, rows);
        GenerationRequest request;
        request.templatePath = (m_dir / "template.xml").string();
        request.sheetPath = sheet.string();
        request.outputFolder = out().string();
        return request;
    }

    GenerationReport run(const GenerationRequest& request, std::stop_token stop = {}) {
        support::NullProgress progress;
        auto report = runGeneration(request, progress, stop);
        if (!report) throw std::runtime_error(report.error().message);
        return std::move(report).value();
    }

    fs::path out() const { return m_dir / "out"; }

    velquor::testing::TempDir m_dir;
};

TEST_F(GenerationJob, WritesOneFilePerDeviceRowWithItsOwnValuesFromCsvAndXlsx) {
    for (bool xlsx : {false, true}) {
        fs::remove_all(out());
        const GenerationReport report = run(request(test::deviceSheet(3), xlsx));
        EXPECT_EQ(
            filesBelow(out()),
            (std::vector<std::string>{"001122334401.xml", "001122334402.xml", "001122334403.xml"}));
        for (int i = 1; i <= 3; ++i) {
            const fs::path file = out() / ("00112233440" + std::to_string(i) + ".xml");
            const std::string n = std::to_string(i);
            EXPECT_EQ(xpathInFile(file, "//DisplayName"), "Name " + n) << xlsx;
            EXPECT_EQ(xpathInFile(file, "//UserID"), "20" + n);
            EXPECT_EQ(xpathInFile(file, "//AuthID"), "30" + n);
            EXPECT_EQ(xpathInFile(file, "//Password"), "pw" + n);
            EXPECT_EQ(xpathInFile(file, "//Proxy"), "proxy" + n + ".lan");
            EXPECT_EQ(xpathInFile(file, "//SIPPort"), "50" + n);
        }
        ASSERT_EQ(report.devices.size(), 3u);
        EXPECT_EQ(report.devices[0].row, 2);
        EXPECT_EQ(report.devices[2].mac, "001122334403");
        EXPECT_EQ(report.devices[2].plainFile, (out() / "001122334403.xml").string());
        EXPECT_TRUE(report.allWritten());
        EXPECT_EQ(generationSummaryText(report), "Success !");
    }
}

TEST_F(GenerationJob, TheExampleWorkbookAndItsCsvGiveTheSameFiles) {
    const fs::path examples = fs::path(VELQUOR_SOURCE_DIR) / "examples";
    std::vector<std::string> written;
    for (const char* sheet : {"devices.xlsx", "devices.csv"}) {
        GenerationRequest req;
        req.templatePath = (examples / "template.xml").string();
        req.sheetPath = (examples / sheet).string();
        req.outputFolder = (m_dir / sheet).string();
        const GenerationReport report = run(req);
        EXPECT_EQ(generationSummaryText(report), "Success !");
        ASSERT_EQ(report.devices.size(), 5u);
        std::string all;
        for (const auto& device : report.devices) all += readFile(device.plainFile);
        written.push_back(all);
    }
    EXPECT_EQ(written[0], written[1]);
    const fs::path third = m_dir / "devices.xlsx" / "001565A1B2C3.xml";
    EXPECT_EQ(xpathInFile(third, "//DisplayName"), "Support, 2nd line");
    EXPECT_EQ(xpathInFile(third, "//Password"), "pa\"ss'2003");
    EXPECT_EQ(xpathInFile(third, "//SIPPort"), "5062");
    EXPECT_EQ(xpathInFile(m_dir / "devices.csv" / "001565A1B2C4.xml", "//DisplayName"),
              "张伟 (Engineering)");
}

TEST_F(GenerationJob, AHeaderOnlySheetWritesNothingAndSucceeds) {
    const GenerationReport report = run(request(test::deviceSheet(0)));
    EXPECT_TRUE(report.devices.empty());
    EXPECT_TRUE(filesBelow(out()).empty());
    EXPECT_EQ(generationSummaryText(report), "Success !");
}

TEST_F(GenerationJob, ALaterRowWithTheSameMacWinsAndTheReportSaysSo) {
    Rows rows = test::deviceSheet(3);
    rows[3][0] = rows[1][0];
    rows[3][2] = rows[1][2];
    const GenerationReport report = run(request(rows));
    EXPECT_EQ(filesBelow(out()),
              (std::vector<std::string>{"001122334401.xml", "001122334402.xml"}));
    EXPECT_EQ(xpathInFile(out() / "001122334401.xml", "//DisplayName"), "Name 3");
    EXPECT_EQ(report.devices[0].outcome, DeviceOutcome::Superseded);
    EXPECT_EQ(
        report.devices[0].reason,
        "rows 2 and 4 differ in DisplayName, AuthID, Password, Proxy, SIPPort; row 4 is used");
    EXPECT_TRUE(report.devices[0].plainFile.empty()) << "the replaced row writes nothing";
    EXPECT_EQ(report.devices[2].outcome, DeviceOutcome::Written);
    EXPECT_TRUE(report.allWritten());
    EXPECT_EQ(report.filesWritten(), 2u);
    const std::string summary = generationSummaryText(report);
    EXPECT_NE(summary.find("- rows 2 and 4 differ in"), std::string::npos) << summary;
}

TEST_F(GenerationJob, MacsThatCannotNameAFileFailTheirRowOnlyAndNothingLeavesTheFolder) {
    Rows rows = test::deviceSheet(7);
    rows[1][0] = "";
    rows[2][0] = "../escaped";
    rows[3][0] = "sub/dir";
    rows[4][0] = ".hidden";
    rows[5][0] = "\t001122334406";  // a MAC, but kept as written its tab cannot name a file
    rows[6][0] = "..";
    GenerationRequest req = request(rows);
    req.macForm = mac::Form::AsWritten;
    const GenerationReport report = run(req);
    EXPECT_EQ(filesBelow(m_dir.path()),
              (std::vector<std::string>{"devices.csv", "out/001122334407.xml", "template.xml"}));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(report.devices[i].outcome,
                  i == 4 ? DeviceOutcome::Failed : DeviceOutcome::Refused)
            << i;
        EXPECT_TRUE(report.devices[i].reason.starts_with("row " + std::to_string(i + 2) + ": "))
            << report.devices[i].reason;
    }
    EXPECT_EQ(report.devices[0].reason, "row 2: the MAC cell (column A) is empty");
    EXPECT_EQ(report.devices[1].reason, "row 3: not a MAC address");
    EXPECT_EQ(report.devices[4].reason, "row 6: the MAC text holds a control character");
    EXPECT_FALSE(report.allWritten());
    const std::string summary = generationSummaryText(report);
    EXPECT_NE(summary.find("1 of 7 device rows written."), std::string::npos) << summary;
    EXPECT_NE(summary.find("5 rows were refused"), std::string::npos) << summary;
    EXPECT_NE(summary.find("1 row failed"), std::string::npos) << summary;
}

TEST_F(GenerationJob, AShortSheetFailsEveryRowNamingTheColumnAndTheRunGoesOn) {
    Rows rows = test::deviceSheet(2);
    for (auto& r : rows) r.resize(5);
    GenerationReport report = run(request(rows));
    ASSERT_EQ(report.devices.size(), 2u);
    EXPECT_EQ(report.count(DeviceOutcome::Failed), 2u);
    EXPECT_NE(report.devices[1].reason.find("row 3 has no column G"), std::string::npos)
        << report.devices[1].reason;
    EXPECT_TRUE(filesBelow(out()).empty());

    // A template without SIPPort and Proxy needs only five columns.
    writeFile(m_dir / "template.xml",
              "<Config><Ext1><SubscriberInformation><UserID/><Password/>"
              "</SubscriberInformation></Ext1></Config>");
    report = run(request(rows));
    EXPECT_TRUE(report.allWritten());
    EXPECT_EQ(xpathInFile(out() / "001122334402.xml", "//Password"), "pw2");
}

TEST_F(GenerationJob, TheOutputFolderIsJoinedAsAPathAndCreatedWithItsEnSubFolder) {
    GenerationRequest req = request(test::deviceSheet(1));
    req.outputFolder = (m_dir / "new" / "deeper").string();  // no trailing separator
    req.encrypt = true;
    req.keyText = "k";
    const GenerationReport report = run(req);
    EXPECT_TRUE(report.allWritten());
    EXPECT_EQ(filesBelow(m_dir / "new"),
              (std::vector<std::string>{"deeper/001122334401.xml", "deeper/en/001122334401.xml"}));
    EXPECT_EQ(report.filesWritten(), 2u);
}

TEST_F(GenerationJob, StopsBeforeWritingWhenTheInputsOrTheFolderAreUnusable) {
    GenerationRequest req = request(test::deviceSheet(2));
    writeFile(m_dir / "template.xml", "<Config>\n<Ext1>\n</Config>\n");
    support::NullProgress progress;
    auto broken = runGeneration(req, progress, {});
    ASSERT_FALSE(broken);
    EXPECT_NE(broken.error().message.find("template.xml"), std::string::npos);
    EXPECT_NE(broken.error().message.find("line 3"), std::string::npos) << broken.error().message;
    EXPECT_FALSE(fs::exists(out()));

    writeFile(m_dir / "template.xml", test::kTemplate);
    writeFile(m_dir / "blocker", "a file where the folder should be");
    req.outputFolder = (m_dir / "blocker").string();
    EXPECT_FALSE(runGeneration(req, progress, {}));
    req.outputFolder = out().string();
    writeFile(out(), "");
    fs::remove(out());
    fs::create_directory(out());
    writeFile(out() / "en", "a file where the en folder should be");
    req.encrypt = true;
    auto noEn = runGeneration(req, progress, {});
    ASSERT_FALSE(noEn);
    EXPECT_NE(noEn.error().message.find("en"), std::string::npos);
    EXPECT_EQ(filesBelow(out()), std::vector<std::string>{"en"});

    req.sheetPath = (m_dir / "missing.csv").string();
    EXPECT_FALSE(runGeneration(req, progress, {}));
    req = request(test::deviceSheet(1));
    req.outputFolder.clear();
    EXPECT_FALSE(runGeneration(req, progress, {}));
}

TEST_F(GenerationJob, ARowWhoseFileIsTheTemplateOrTheSheetIsRefused) {
    Rows rows = test::deviceSheet(2);
    writeFile(m_dir / "001122334401.xml", test::kTemplate);
    GenerationRequest req = request(rows);
    req.templatePath = (m_dir / "001122334401.xml").string();
    req.outputFolder = m_dir.path().string();
    const GenerationReport report = run(req);
    EXPECT_EQ(report.devices[0].outcome, DeviceOutcome::Failed);
    EXPECT_NE(report.devices[0].reason.find("would replace the template"), std::string::npos)
        << report.devices[0].reason;
    EXPECT_EQ(readFile(m_dir / "001122334401.xml"), test::kTemplate);
    EXPECT_EQ(report.devices[1].outcome, DeviceOutcome::Written);
}

TEST_F(GenerationJob, EncryptedCopiesDecryptWithOpensslToThePlainFileAndZeroPadding) {
    GenerationRequest req = request(test::deviceSheet(2), true);
    req.encrypt = true;
    req.keyText = "phone-key";
    const GenerationReport report = run(req);
    ASSERT_TRUE(report.allWritten()) << generationSummaryText(report);
    const std::string keyHex = "70686f6e652d6b657900000000000000";  // "phone-key", zero-filled
    for (const DeviceResult& device : report.devices) {
        EXPECT_EQ(device.encryptedFile, (out() / "en" / (device.mac + ".xml")).string());
        const std::string plain = readFile(device.plainFile);
        int status = -1;
        const std::string decrypted = runCommand("openssl enc -d -aes-128-ecb -nopad -K " + keyHex +
                                                     " -in " + shellQuote(device.encryptedFile),
                                                 &status);
        ASSERT_EQ(status, 0);
        std::string padded = plain;
        padded.resize((plain.size() + 15) / 16 * 16, '\0');
        EXPECT_EQ(decrypted, padded);

        // The copy is what the file encryption command makes of the plain file.
        support::NullReporter reporter;
        const fs::path reference = m_dir / "reference.enc";
        ASSERT_TRUE(
            crypto::EncryptConfigFile(device.plainFile, reference.string(), req.keyText, reporter));
        EXPECT_EQ(readFile(reference), readFile(device.encryptedFile));
    }
}

class StopAfter final : public support::ProgressSink {
public:
    StopAfter(std::uint64_t devices, std::stop_source& source)
        : m_devices(devices), m_source(source) {}
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        m_total = total;
        if (done >= m_devices) m_source.request_stop();
    }
    std::uint64_t m_total = 0;

private:
    std::uint64_t m_devices;
    std::stop_source& m_source;
};

// A disk that fills up mid-run: each row fails naming its file, and the files of an earlier
// run stay whole, plain and encrypted alike.
TEST_F(GenerationJob, WritesFailingPartWayKeepTheEarlierFilesAndNameTheirTargets) {
    GenerationRequest asked = request(test::deviceSheet(2));
    asked.encrypt = true;
    run(asked);
    const std::vector<std::string> files = filesBelow(out());
    const std::string plain = readFile(out() / "001122334401.xml");
    const std::string encrypted = readFile(out() / "en" / "001122334401.xml");
    writeFile(m_dir / "template.xml", std::string(test::kTemplate) + "<!-- changed -->");

    GenerationReport report;
    {
        const velquor::testing::FileSizeLimit limit(200);
        report = run(asked);
    }
    ASSERT_EQ(report.devices.size(), 2u);
    for (const DeviceResult& device : report.devices) {
        EXPECT_EQ(device.outcome, DeviceOutcome::Failed);
        EXPECT_NE(device.reason.find((out() / (device.mac + ".xml")).string()), std::string::npos)
            << device.reason;
    }
    EXPECT_FALSE(report.allWritten());
    EXPECT_EQ(filesBelow(out()), files);
    EXPECT_EQ(readFile(out() / "001122334401.xml"), plain);
    EXPECT_EQ(readFile(out() / "en" / "001122334401.xml"), encrypted);
}

// The files are written by worker threads: a row whose write fails fails alone, with its own
// reason, the report keeps the sheet's order and the MD5SUMS lists hold exactly the files
// written, whichever worker finished first.
TEST_F(GenerationJob, AFailedWriteAmongHundredsFailsItsOwnRowAndTheListsHoldTheRest) {
    Rows rows = test::deviceSheet(0);
    char mac[13];
    for (int i = 0; i < 300; ++i) {
        std::snprintf(mac, sizeof mac, "0011223%05d", i);
        rows.push_back({mac, "Name " + std::to_string(i), std::to_string(i)});
    }
    GenerationRequest req = request(rows);
    req.encrypt = true;
    req.keyText = "phone-key";
    // A folder that holds something cannot be replaced by a file.
    for (const fs::path& squatter :
         {out() / "001122300057.xml", out() / "en" / "001122300120.xml"}) {
        fs::create_directories(squatter);
        writeFile(squatter / "keep", "");
    }
    const GenerationReport report = run(req);

    ASSERT_EQ(report.devices.size(), 300u);
    for (std::size_t i = 0; i < report.devices.size(); ++i) {
        const DeviceResult& device = report.devices[i];
        EXPECT_EQ(device.row, static_cast<int>(i) + 2);
        if (i == 57) {
            EXPECT_EQ(device.outcome, DeviceOutcome::Failed);
            EXPECT_NE(device.reason.find("row 59: "), std::string::npos) << device.reason;
            EXPECT_NE(device.reason.find((out() / "001122300057.xml").string()), std::string::npos)
                << device.reason;
            EXPECT_TRUE(device.plainFile.empty());
        } else if (i == 120) {
            EXPECT_EQ(device.outcome, DeviceOutcome::Failed);
            EXPECT_NE(device.reason.find("row 122: the plain file was written, but not its "
                                         "encrypted copy"),
                      std::string::npos)
                << device.reason;
            EXPECT_EQ(device.plainFile, (out() / "001122300120.xml").string());
            EXPECT_TRUE(device.encryptedFile.empty());
        } else {
            EXPECT_EQ(device.outcome, DeviceOutcome::Written) << device.reason;
            EXPECT_EQ(device.encryptedFile, (out() / "en" / (device.mac + ".xml")).string());
            EXPECT_EQ(xpathInFile(device.plainFile, "//DisplayName"), "Name " + std::to_string(i));
        }
    }
    EXPECT_EQ(report.count(DeviceOutcome::Failed), 2u);
    EXPECT_EQ(report.filesWritten(), 299u + 298u);

    auto listed = [](const fs::path& list) {
        const std::string text = readFile(list);
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    EXPECT_EQ(listed(out() / "MD5SUMS"), 299u);
    EXPECT_EQ(listed(out() / "en" / "MD5SUMS"), 298u);
    EXPECT_EQ(readFile(out() / "MD5SUMS").find("001122300057.xml"), std::string::npos);
    EXPECT_EQ(readFile(out() / "en" / "MD5SUMS").find("001122300120.xml"), std::string::npos);
    for (const fs::path& folder : {out(), out() / "en"}) {
        int status = -1;
        const std::string checked = runCommand(
            "cd " + shellQuote(folder.string()) + " && md5sum -c --strict --quiet MD5SUMS 2>&1",
            &status);
        EXPECT_EQ(status, 0) << checked;
    }
}

TEST_F(GenerationJob, CancelStopsBetweenDevicesAndLeavesOnlyCompleteFiles) {
    std::stop_source source;
    StopAfter sink(2, source);
    auto report = runGeneration(request(test::deviceSheet(5)), sink, source.get_token());
    ASSERT_TRUE(report);
    EXPECT_EQ(sink.m_total, 5u);
    EXPECT_TRUE(report->cancelled);
    EXPECT_EQ(report->count(DeviceOutcome::Written), 2u);
    EXPECT_EQ(report->count(DeviceOutcome::Cancelled), 3u);
    EXPECT_EQ(filesBelow(out()),
              (std::vector<std::string>{"001122334401.xml", "001122334402.xml"}));
    EXPECT_FALSE(report->allWritten());
    const std::string summary = generationSummaryText(*report);
    EXPECT_NE(summary.find("Cancelled: 3 rows"), std::string::npos);
    // Rows are counted as rows, encrypted copies or not.
    EXPECT_NE(summary.find("2 of 5 device rows written."), std::string::npos) << summary;
}

TEST_F(GenerationJob, ADryRunChecksEveryRowAndWritesNothing) {
    Rows rows = test::deviceSheet(3);
    rows[2][0] = "a/b";
    GenerationRequest req = request(rows);
    req.dryRun = true;
    req.encrypt = true;
    const GenerationReport report = run(req);
    EXPECT_FALSE(fs::exists(out()));
    EXPECT_EQ(report.count(DeviceOutcome::Checked), 2u);
    EXPECT_EQ(report.count(DeviceOutcome::Refused), 1u);
    EXPECT_EQ(report.filesWritten(), 0u);
    EXPECT_NE(generationSummaryText(report).find("Dry run: 2 of 3 device rows"), std::string::npos);
}

TEST_F(GenerationJob, ThousandsOfFailuresMakeAShortSummaryAndAFullCsvReport) {
    Rows rows = test::deviceSheet(0);
    for (int i = 0; i < 5000; ++i) rows.push_back({"bad/" + std::to_string(i), "n, \"quoted\""});
    const GenerationReport report = run(request(rows));
    const std::string summary = generationSummaryText(report);
    EXPECT_LT(summary.size(), 1500u);
    EXPECT_NE(summary.find("5000 rows were refused"), std::string::npos);
    EXPECT_NE(summary.find("and 4992 more refused rows"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("see the report"), std::string::npos) << "no report was written";
    EXPECT_TRUE(report.hasUnlistedRows());
    EXPECT_NE(generationSummaryText(report, true).find("(see the report)"), std::string::npos);

    const std::string csv = velquor::report::csvText(generationReportTable(report));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5001);
    EXPECT_TRUE(
        csv.starts_with("row,mac,plain_file,encrypted_file,outcome,reason\r\n"
                        "2,bad/0,,,refused,row 2: not a MAC address\r\n"));
}

TEST_F(GenerationJob, RowsWithEmptyValuesAreWrittenButCarryAWarningEverywhere) {
    Rows rows = test::deviceSheet(3);
    rows[1] = {rows[1][0], "Reception", "", "", "", "", ""};  // only MAC and display name
    rows[3][4] = "";                                          // only the password missing
    const GenerationReport report = run(request(rows));
    ASSERT_EQ(report.count(DeviceOutcome::Written), 3u);
    EXPECT_TRUE(report.allWritten());
    EXPECT_EQ(report.withEmptyValues(), 2u);
    EXPECT_EQ(report.devices[0].emptyElements,
              (std::vector<std::string>{"UserID (C)", "AuthID (D)", "Password (E)", "Proxy (F)",
                                        "SIPPort (G)"}));
    EXPECT_EQ(report.devices[0].reason,
              "row 2: written, with UserID (C), AuthID (D), Password (E), Proxy (F), SIPPort (G) "
              "empty");
    EXPECT_TRUE(report.devices[1].reason.empty());
    EXPECT_EQ(xpathInFile(out() / "001122334401.xml", "//UserID"), "");

    // The product's own text stays alone; the warning has lines of its own.
    EXPECT_EQ(generationSummaryText(report), "Success !");
    EXPECT_EQ(emptyValuesText(report),
              "2 rows were written with empty values:\n"
              "- row 2: written, with UserID (C), AuthID (D), Password (E), Proxy (F), "
              "SIPPort (G) empty\n- row 4: written, with Password (E) empty");
    const std::string csv = velquor::report::csvText(generationReportTable(report));
    EXPECT_NE(csv.find(",written,\"row 4: written, with Password (E) empty\"\r\n"),
              std::string::npos)
        << csv;

    // A failure elsewhere makes a long summary, which names the warned rows too.
    rows.push_back({"a/b"});
    const std::string summary = generationSummaryText(run(request(rows)));
    EXPECT_NE(summary.find("2 rows were written with empty values"), std::string::npos) << summary;
}

TEST_F(GenerationJob, AnElementTheTemplateDoesNotHaveIsNoEmptyValue) {
    writeFile(m_dir / "template.xml",
              "<Config><Ext1><SubscriberInformation><DisplayName/><UserID/>"
              "</SubscriberInformation></Ext1></Config>");
    Rows rows = test::deviceSheet(1);
    rows[1][4] = rows[1][5] = rows[1][6] = "";
    EXPECT_EQ(run(request(rows)).withEmptyValues(), 0u);
    rows[1][2] = "";
    EXPECT_EQ(run(request(rows)).devices[0].emptyElements, std::vector<std::string>{"UserID (C)"});
}

}  // namespace
}  // namespace velquor::generator
