// A MAC file as the device batches take it: every filled cell read before the first request,
// then checked as MAC addresses, so that nothing is sent for a header, a repeat or a cell
// that is no MAC address, and nothing at all for a sheet that is no MAC file.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "mac/mac_check.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/mac_cells.h"
#include "support/result.h"

namespace velquor::provisioning {

// Reads the whole file and closes it; a reader failure names the file and the reason.
support::Result<MacFile> readMacFile(const std::string& path, const std::stop_token& stop);

// One column (1-based) of a device sheet, the one Generate reads: its cells from row 2 on, row 1
// being the sheet's header. Its empty cells are those down to the sheet's last filled row.
MacFile sheetColumn(const MacFile& file, int column);

// How many MAC addresses column A of a file that is no MAC file holds after its header row,
// when most of that column's cells are MAC addresses (Generate's device sheet); 0 otherwise,
// and for a MAC file or a file that cannot be read.
std::size_t deviceSheetMacCount(const std::string& path, mac::Form form,
                                const std::stop_token& stop = {});

// A device sheet's column headed "server" (in any case, white space around it aside): each row
// below the header that fills it gives its phone its own Server text.
struct SheetServers {
    int column = 0;  // 1-based; 0 when the sheet has no such column
    std::map<int, std::string> byRow;
    // The same by the text of the row's cell in the MAC column, as a batch's rows name them.
    std::map<std::string, std::string> byMacCell;
};

// The server column of the file's cells, read as sheetColumn reads a column, beside its MAC
// column (1-based).
SheetServers sheetServers(const MacFile& file, int macColumn);
// The same, of the file at path; a file that cannot be read has none.
SheetServers deviceSheetServers(const std::string& path, int macColumn,
                                const std::stop_token& stop = {});

struct CheckedMacFile {
    // One per cell, in row order, macAddress the cell's text: Refused or Skipped with the
    // reason, or NotSent for the cells to be sent.
    std::vector<MacResult> results;
    // For each NotSent result: the MAC as the record writes it, and whether that differs from
    // the cell's text.
    std::vector<std::string> written;
    std::vector<bool> rewritten;
    std::size_t notMacAddresses = 0;  // the cells that are not MAC addresses, a header among them
    std::size_t numbers = 0;          // of those, the cells the sheet holds as numbers
    bool mixedCase = false;
};

// One cell checked: its result (Refused or Skipped with the reason, or NotSent with the MAC as
// the record writes it in written), and whether that written form differs from the cell's text.
struct CheckedCell {
    MacResult result;
    bool rewritten = false;
};

// The check of checkMacCells a cell at a time, in row order, for cells that go past without
// being held (the rows of a long report sent again): it keeps the addresses seen (mac::FirstCells,
// 16 bytes each) and a few counts, never the cells.
class MacCellCheck {
public:
    // oneColumn: every cell is of one column, so a repeat names the earlier row, not its cell.
    // expectedCells sizes the table of addresses seen, when known.
    MacCellCheck(DeviceOperation command, mac::Form form, bool firstRowMayBeHeader, bool oneColumn,
                 std::size_t expectedCells = 0);

    CheckedCell check(MacCell cell);

    std::size_t notMacAddresses() const { return m_notMacAddresses; }
    std::size_t numbers() const { return m_numbers; }
    bool mixedCase() const { return mac::keepsCellCase(m_form) && m_lower && m_upper; }

private:
    DeviceOperation m_command;
    mac::Form m_form;
    bool m_headerPossible;
    bool m_oneColumn;
    mac::FirstCells m_seen;
    std::size_t m_notMacAddresses = 0;
    std::size_t m_numbers = 0;
    bool m_lower = false;
    bool m_upper = false;
};

// A cell whose MAC, as the record writes it, is longer than the record's field: "The MAC address
// in cell A7 of FILE is 70 bytes long; ...". file: the MAC file, or empty for cells given.
support::Error writtenTooLong(const MacResult& cell, const std::string& written,
                              const std::string& file);

// The first cell is the header, where the file may have one, when it is text rather than a
// mistyped MAC ("MAC", "MAC address"); a later cell of an address already seen is skipped, whatever
// its spelling.
CheckedMacFile checkMacCells(MacFile file, DeviceOperation command, mac::Form form);

// "FILE does not look like a MAC file: 606 of 707 cells are not MAC addresses." when most of
// its cells are not MAC addresses; empty otherwise.
support::Phrase notAMacFileReason(const std::string& path, const CheckedMacFile& checked);

}  // namespace velquor::provisioning
