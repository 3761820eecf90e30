#include "mac/mac_check.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "support/translatable.h"

namespace velquor::mac {
namespace {

// The address as a number: cheaper to hash than its text, and the same for every spelling.
std::uint64_t valueOf(const Address& address) {
    std::uint64_t value = 0;
    for (char c : address.digits()) {
        const unsigned digit = c <= '9' ? static_cast<unsigned>(c - '0')
                                        : static_cast<unsigned>((c | 0x20) - 'a' + 10);
        value = (value << 4) | digit;
    }
    return value;
}

// Only the cells used count: a replaced spelling writes nothing.
bool lettersInBothCases(const std::vector<CellVerdict>& cells) {
    bool lower = false;
    bool upper = false;
    for (const CellVerdict& cell : cells) {
        if (cell.verdict != Verdict::Usable) continue;
        for (char c : cell.written) {
            lower = lower || (c >= 'a' && c <= 'f');
            upper = upper || (c >= 'A' && c <= 'F');
        }
        if (lower && upper) return true;
    }
    return false;
}

// A cell replaced by a later one that was itself replaced points at the one finally used.
// Each points forward, so going backwards finds the later ones already settled.
void pointAtTheCellsUsed(std::vector<CellVerdict>& cells) {
    for (std::size_t i = cells.size(); i-- > 0;) {
        CellVerdict& cell = cells[i];
        if (cell.verdict == Verdict::Repeat && cells[cell.other].verdict == Verdict::Repeat)
            cell.other = cells[cell.other].other;
    }
}

// A free slot in a table that is at most this full (in fifths) is never far away.
constexpr std::size_t kMaxFifthsFull = 4;

std::size_t slotsFor(std::size_t addresses) {
    return std::max<std::size_t>(16, addresses + addresses / kMaxFifthsFull + 1);
}

std::uint64_t hashOf(std::uint64_t key) {
    return key * 0x9e3779b97f4a7c15ULL;
}

}  // namespace

bool keepsCellCase(Form form) {
    return form == Form::Plain || form == Form::AsWritten;
}

FirstCells::FirstCells(std::size_t expected) : m_parts(kParts) {
    for (Part& part : m_parts) part.table.resize(slotsFor(expected / kParts));
}

// The hash's top bits choose the part, the rest the slot in it.
std::optional<std::uint64_t> FirstCells::claim(const Address& address, std::uint64_t tag) {
    const std::uint64_t key = valueOf(address) | (std::uint64_t{1} << 48);
    const std::uint64_t hash = hashOf(key);
    Part& part = m_parts[hash >> 58];
    Slot* slot = &slotFor(part, hash, key);
    if (slot->key == key) return slot->tag;
    if ((part.used + 1) * 5 > part.table.size() * kMaxFifthsFull) {
        grow(part);
        slot = &slotFor(part, hash, key);
    }
    *slot = Slot{key, tag};
    ++part.used;
    ++m_used;
    return std::nullopt;
}

// The key's slot, or the free one where it would go: open addressing, the next slot along.
FirstCells::Slot& FirstCells::slotFor(Part& part, std::uint64_t hash, std::uint64_t key) {
    std::vector<Slot>& table = part.table;
    const auto below = static_cast<unsigned __int128>(hash << 6);
    auto at = static_cast<std::size_t>((below * table.size()) >> 64);
    while (table[at].key != 0 && table[at].key != key) {
        if (++at == table.size()) at = 0;
    }
    return table[at];
}

void FirstCells::grow(Part& part) {
    std::vector<Slot> old =
        std::exchange(part.table, std::vector<Slot>(part.table.size() + part.table.size() / 2));
    for (const Slot& slot : old) {
        if (slot.key != 0) slotFor(part, hashOf(slot.key), slot.key) = slot;
    }
}

CheckResult checkCells(const std::vector<std::string_view>& cells, Form form, RepeatRule rule) {
    CheckResult result;
    result.cells.resize(cells.size());
    std::unordered_map<std::uint64_t, std::size_t> used;  // address -> the cell used for it
    used.reserve(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        CellVerdict& verdict = result.cells[i];
        const Reading reading(cells[i]);
        if (!reading.ok()) {
            verdict.verdict = Verdict::Refused;
            verdict.refusal = reading.refusal();
            ++result.refused;
            continue;
        }
        verdict.written = reading.address().written(form, cells[i]);
        verdict.rewritten = verdict.written != cells[i];
        auto [entry, first] = used.try_emplace(valueOf(reading.address()), i);
        if (!first) {
            ++result.repeated;
            if (rule == RepeatRule::FirstWins) {
                verdict.verdict = Verdict::Repeat;
                verdict.other = entry->second;
                continue;
            }
            CellVerdict& earlier = result.cells[entry->second];
            earlier.verdict = Verdict::Repeat;
            earlier.other = i;
            entry->second = i;
        }
    }
    if (rule == RepeatRule::LaterWins) pointAtTheCellsUsed(result.cells);
    if (keepsCellCase(form)) result.mixedCase = lettersInBothCases(result.cells);
    return result;
}

std::string writtenAsText(std::string_view written) {
    return writtenAsPhrase(written).english();
}

support::Phrase writtenAsPhrase(std::string_view written) {
    return support::Phrase{VELQUOR_TR_NOOP("core", "written as %1"), {std::string(written)}};
}

std::string mixedCaseText() {
    return VELQUOR_TR_NOOP("core",
                           "The MAC addresses are written with letters in both cases, and phones "
                           "ask in one case: set mac-form to lower or upper.");
}

}  // namespace velquor::mac
