// The check every batch of MAC cells goes through before anything is written or sent: which
// cells are MAC addresses, which repeat one another in whatever spelling or case, and the
// form each usable one is written in. The generator and the Kesto client use it alike; only
// which of two repeats is used differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// Whether the form keeps the case of the cell's letters (plain, as-written): only then can a
// run's addresses come out in both cases.
bool keepsCellCase(Form form);

// The addresses of cells that go past one at a time, each with a tag of the first cell that had
// it (its row and column, say), for a check that cannot hold the cells: one slot of 16 bytes
// per address, about 20 MB for a million. The table is in parts that grow one at a time, so
// growing never holds a whole old table beside a whole new one.
class FirstCells {
public:
    // expected: how many addresses will come, when known, so the table never has to grow.
    explicit FirstCells(std::size_t expected = 0);

    // The tag of the earlier cell with this address; nothing when it is the first, whose tag
    // is then kept.
    std::optional<std::uint64_t> claim(const Address& address, std::uint64_t tag);
    std::size_t size() const { return m_used; }

private:
    struct Slot {
        std::uint64_t key = 0;  // 0: free; else the address's 48 bits and a bit above them
        std::uint64_t tag = 0;
    };
    struct Part {
        std::vector<Slot> table;
        std::size_t used = 0;
    };
    static constexpr std::size_t kParts = 64;

    static Slot& slotFor(Part& part, std::uint64_t hash, std::uint64_t key);
    static void grow(Part& part);

    std::vector<Part> m_parts;
    std::size_t m_used = 0;
};

// "written as 001A2B3C4D5E"
std::string writtenAsText(std::string_view written);
support::Phrase writtenAsPhrase(std::string_view written);

// The one note for a run whose addresses have letters in both cases.
std::string mixedCaseText();

}  // namespace velquor::mac
