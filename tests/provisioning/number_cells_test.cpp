// A MAC address typed into a spreadsheet cell formatted as a number loses its leading zeros
// (001565123456 becomes 1565123456): the refusal names that cause and the cure, not a digit
// count, whether one cell or the whole column was typed so.
#include <gtest/gtest.h>

#include <string>

#include "provisioning/kesto_operations.h"
#include "provisioning/mac_file.h"
#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::provisioning {
namespace {

std::string textCell(const std::string& name, const std::string& text) {
    return "<c r=\"" + name + "\" t=\"inlineStr\"><is><t>" + text + "</t></is></c>";
}

std::string numberCell(const std::string& name, const std::string& value) {
    return "<c r=\"" + name + "\"><v>" + value + "</v></c>";
}

std::string row(int number, const std::string& cell) {
    return "<row r=\"" + std::to_string(number) + "\">" + cell + "</row>";
}

class NumberCellsTest : public ::testing::Test {
protected:
    support::Result<DeviceBatchSummary> check(const std::string& sheetData) {
        const auto path = m_dir.path() / "macs.xlsx";
        sheet::testing::writeZip(path, sheet::testing::minimalWorkbook(sheetData));
        return checkMacFile(DeviceOperation::Add, DeviceBatch{path.string(), "https://p/", "u"});
    }

    velquor::testing::TempDir m_dir;
};

TEST_F(NumberCellsTest, ANumberCellIsRefusedForItsLostZerosATextCellForItsDigits) {
    auto checked = check(row(1, textCell("A1", "MAC")) +                //
                         row(2, textCell("A2", "00:15:65:12:34:56")) +  //
                         row(3, numberCell("A3", "1565123457")) +       //
                         row(4, textCell("A4", "1565123458")) +         //
                         row(5, textCell("A5", "00:15:65:12:34:59")) +  //
                         row(6, textCell("A6", "00:15:65:12:34:5a")) +  //
                         row(7, numberCell("A7", "1.5651234E+9")) +     //
                         row(8, textCell("A8", "00:15:65:12:34:5b")));
    ASSERT_TRUE(checked) << checked.error().message;
    const auto& results = checked->results;
    ASSERT_EQ(results.size(), 8u);
    EXPECT_EQ(results[2].outcome, MacOutcome::Refused);
    EXPECT_EQ(results[2].reason,
              "a number of 10 digits, not text: the spreadsheet dropped its leading zeros; "
              "format the column as text and enter the MAC addresses again");
    EXPECT_EQ(results[3].outcome, MacOutcome::Refused);
    EXPECT_EQ(results[3].reason, "10 hex digits, not 12");
    EXPECT_EQ(results[6].outcome, MacOutcome::Refused);
    EXPECT_NE(results[6].reason.find("a number of"), std::string::npos) << results[6].reason;
}

// A whole column typed into number cells is no MAC file, and the error says why.
TEST_F(NumberCellsTest, AColumnOfNumbersIsRefusedNamingTheNumberFormat) {
    auto checked =
        check(row(1, textCell("A1", "MAC")) + row(2, numberCell("A2", "1565123457")) +
              row(3, numberCell("A3", "1565123458")) + row(4, numberCell("A4", "1565123459")));
    ASSERT_FALSE(checked);
    EXPECT_NE(checked.error().message.find("3 of 4 cells are numbers, not text"), std::string::npos)
        << checked.error().message;
}

}  // namespace
}  // namespace velquor::provisioning
