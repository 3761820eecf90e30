// A MAC file read from disk: its header is a word in the sheet's first row only, whatever rows
// above the first MAC are blank, and it is no MAC address in any count.
#include "provisioning/mac_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "temp_dir.h"

namespace velquor::provisioning {
namespace {

CheckedMacFile checkedFile(const velquor::testing::TempDir& dir, const std::string& text) {
    const auto path = dir.path() / "macs.csv";
    std::ofstream(path, std::ios::binary) << text;
    auto file = readMacFile(path.string(), {});
    EXPECT_TRUE(file) << file.error().message;
    return checkMacCells(file ? std::move(*file) : MacFile{}, DeviceOperation::Add,
                         mac::kDefaultForm);
}

TEST(MacFileHeader, OnlyAWordOnTheFirstRowIsTheHeader) {
    velquor::testing::TempDir dir;
    const CheckedMacFile headed = checkedFile(dir, "MAC\r\n001122334455\r\n");
    ASSERT_EQ(headed.results.size(), 2u);
    EXPECT_EQ(headed.results[0].outcome, MacOutcome::Skipped);
    EXPECT_EQ(headed.results[0].reason, "header");
    EXPECT_EQ(headed.written.size(), 1u);

    // Blank top rows: the word on row 5 is a cell that is no MAC address, said to be one.
    const CheckedMacFile lower = checkedFile(dir, "\r\n\r\n,\r\n\r\nMAC\r\n001122334455\r\n");
    ASSERT_EQ(lower.results.size(), 2u);
    EXPECT_EQ(lower.results[0].row, 5);
    EXPECT_EQ(lower.results[0].outcome, MacOutcome::Refused);
    EXPECT_NE(lower.results[0].reason, "header");
    EXPECT_EQ(lower.notMacAddresses, 1u);
    EXPECT_EQ(lower.results[1].outcome, MacOutcome::NotSent);
}

// The header is listed among the rows but is no MAC address: a summary's counts, and whether a
// run left anything to look at, see only the cells that stand for phones.
TEST(MacFileHeader, TheHeaderIsInNoCount) {
    velquor::testing::TempDir dir;
    const auto path = dir.path() / "macs.csv";
    std::ofstream(path, std::ios::binary) << "MAC\n001122334455\n00:11:22:33:44:55\nnot-a-mac\n";
    const DeviceBatch batch{path.string(), "https://prov.example/", "alice"};
    const auto checked = checkMacFile(DeviceOperation::Add, batch);
    ASSERT_TRUE(checked) << checked.error().message;
    EXPECT_EQ(checked->results.size(), 4u);
    EXPECT_TRUE(checked->results[0].header);
    EXPECT_EQ(checked->macCells(), 3u);
    EXPECT_EQ(checked->count(MacOutcome::Usable), 1u);
    EXPECT_EQ(checked->count(MacOutcome::Skipped), 1u) << "the repeat alone";
    EXPECT_EQ(checked->count(MacOutcome::Refused), 1u);
    EXPECT_NE(describeSummary(*checked).find("Skipped (repeated MAC, not sent): 1"),
              std::string::npos);

    std::ofstream(path, std::ios::binary) << "MAC\n001122334455\n";
    const auto clean = checkMacFile(DeviceOperation::Add, batch);
    ASSERT_TRUE(clean) << clean.error().message;
    EXPECT_EQ(clean->macCells(), 1u);
    EXPECT_TRUE(clean->complete()) << "a headed file with nothing wrong leaves nothing to say";
}

}  // namespace
}  // namespace velquor::provisioning
