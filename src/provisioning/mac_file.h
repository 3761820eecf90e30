// A MAC file as the device batches take it: every filled cell read before the first request,
// then checked as MAC addresses, so that nothing is sent for a header, a repeat or a cell
// that is no MAC address, and nothing at all for a sheet that is no MAC file.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

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

// The first cell is the header, where the file may have one, when it is text rather than a
// mistyped MAC ("MAC", "MAC address"); a later cell of an address already seen is skipped, whatever
// its spelling.
CheckedMacFile checkMacCells(MacFile file, DeviceOperation command, mac::Form form);

// "FILE does not look like a MAC file: 606 of 707 cells are not MAC addresses." when most of
// its cells are not MAC addresses; empty otherwise.
support::Phrase notAMacFileReason(const std::string& path, const CheckedMacFile& checked);

}  // namespace velquor::provisioning
