// The check every batch of MAC cells goes through before anything is written or sent: which
// cells are MAC addresses, which repeat one another in whatever spelling or case, and the
// form each usable one is written in. The generator and the Kesto client use it alike; only
// which of two repeats is used differs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mac/mac_address.h"

namespace velquor::mac {

enum class RepeatRule {
    LaterWins,  // the last of the cells with one address is used (one file, the later values)
    FirstWins,  // the first is used, the later ones are left out (one record per device)
};

enum class Verdict {
    Usable,   // a MAC address, used
    Refused,  // not a MAC address: nothing is done for it
    Repeat,   // the address of another cell, which is used instead
};

struct CellVerdict {
    Verdict verdict = Verdict::Usable;
    Refusal refusal;        // why, for a Refused cell
    std::size_t other = 0;  // for a Repeat: the index of the cell used instead of this one
    std::string written;    // for Usable and Repeat: the address in the chosen form
    // The written form differs from the cell's text (separators, white space or case).
    bool rewritten = false;
};

struct CheckResult {
    std::vector<CellVerdict> cells;  // one per cell given, in the same order
    std::size_t refused = 0;
    std::size_t repeated = 0;
    // The usable cells write their letters in both cases, and the form keeps the cells' case:
    // phones ask in one case, so some of them will not find theirs.
    bool mixedCase = false;

    std::size_t usable() const { return cells.size() - refused - repeated; }
};

// Checks every cell; costs one reading and one hash look-up per cell.
CheckResult checkCells(const std::vector<std::string_view>& cells, Form form, RepeatRule rule);

// "written as 001A2B3C4D5E"
std::string writtenAsText(std::string_view written);
support::Phrase writtenAsPhrase(std::string_view written);

// The one note for a run whose addresses have letters in both cases.
std::string mixedCaseText();

}  // namespace velquor::mac
