// A MAC file read from disk: its header is a word in the sheet's first row only, whatever rows
// above the first MAC are blank.
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

}  // namespace
}  // namespace velquor::provisioning
