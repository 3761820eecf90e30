// findExistingOutputs: what a run would replace, and which encrypted copies an unencrypted
// run would leave stale, counted before anything is written.
#include "generator/outputs/existing_outputs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "generator/run/generation_job.h"
#include "generator_fixtures.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using velquor::testing::writeFile;

class ExistingOutputsTest : public ::testing::Test {
protected:
    ExistingOutputsTest() {
        test::Rows rows = test::deviceSheet(4);
        rows[4][0] = rows[1][0];  // a duplicate names its file once
        rows.push_back({"../escape"});
        test::writeCsv(m_dir / "devices.csv", rows);
        m_request.sheetPath = (m_dir / "devices.csv").string();
        m_request.outputFolder = (m_dir / "out").string();
    }

    ExistingOutputs find() {
        auto found = findExistingOutputs(m_request);
        if (!found) throw std::runtime_error(found.error().message);
        return *found;
    }

    velquor::testing::TempDir m_dir;
    GenerationRequest m_request;
};

TEST_F(ExistingOutputsTest, AnEmptyOrMissingFolderHasNothingToSay) {
    EXPECT_FALSE(find().any());
    EXPECT_EQ(existingOutputsText(find()), "");
    fs::create_directories(m_dir / "out" / "en");
    EXPECT_FALSE(find().any());
}

TEST_F(ExistingOutputsTest, CountsThisRunsFilesOnceAndTheCopiesItWouldLeaveBehind) {
    fs::create_directories(m_dir / "out" / "en");
    for (const char* name : {"001122334401.xml", "001122334402.xml", "other.xml"}) {
        writeFile(m_dir / "out" / name, "old");
    }
    writeFile(m_dir / "out" / "en" / "001122334401.xml", "old");
    writeFile(m_dir / "out" / "en" / "001122334403.xml", "old");
    writeFile(m_dir / "escape.xml", "not in the folder");

    ExistingOutputs plain = find();
    EXPECT_EQ(plain.replacedFiles, 2u);
    EXPECT_EQ(plain.staleEncryptedCopies, 2u);
    EXPECT_EQ(existingOutputsText(plain),
              "2 files will be replaced. 2 encrypted copies in " + (m_dir / "out" / "en").string() +
                  " from an earlier run stay as they are and will not match the new files (no "
                  "key is used this time).");

    m_request.encrypt = true;
    ExistingOutputs encrypted = find();
    EXPECT_EQ(encrypted.replacedFiles, 4u);
    EXPECT_EQ(encrypted.staleEncryptedCopies, 0u);
    EXPECT_EQ(existingOutputsText(encrypted), "4 files will be replaced.");
}

TEST_F(ExistingOutputsTest, AnUnreadableSheetIsAnError) {
    m_request.sheetPath = (m_dir / "missing.csv").string();
    EXPECT_FALSE(findExistingOutputs(m_request).ok());
}

}  // namespace
}  // namespace velquor::generator
