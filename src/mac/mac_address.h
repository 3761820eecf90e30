// MAC addresses as technicians type them into sheets. A cell is a MAC address when, its
// surrounding white space (space, tab, no-break space) removed, it is 12 hexadecimal digits,
// alone or in a usual written form: six groups of two joined by ':' or by '-' (one separator
// throughout), or three groups of four joined by '.'. The all-zero address, the broadcast
// address and group addresses are refused as well: no phone has them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/translatable.h"

namespace velquor::mac {

// Why a cell is not a usable MAC address.
enum class RefusalKind {
    Empty,             // nothing but white space
    NotMac,            // not a MAC address at all ("MAC", "<script>", a password)
    DigitCount,        // hex digits and separators only, but not 12 digits
    SeparatorChanges,  // "00:1A-2B:..."
    NotHexDigit,       // 12 characters that would be digits, one of them a letter past 'f'
    Grouping,          // 12 digits with one separator, but not as 6 x 2 or 3 x 4
    AllZero,           // 00:00:00:00:00:00
    Broadcast,         // FF:FF:FF:FF:FF:FF
    Group,             // the lowest bit of the first byte set
    StoredAsNumber,    // a cell the spreadsheet holds as a number: its leading zeros are gone
};

struct Refusal {
    RefusalKind kind = RefusalKind::NotMac;
    std::size_t digitCount = 0;  // DigitCount: how many digits there are
    char character = 0;          // NotHexDigit: the first letter that is no digit

    bool operator==(const Refusal&) const = default;
};

// The reason in English, for reports, logs and the command line ("10 hex digits, not 12").
// It never quotes more of the cell than the one letter of a NotHexDigit.
std::string describe(const Refusal& refusal);
// The same reason as a marked phrase, for the window to word in its language.
support::Phrase refusalPhrase(const Refusal& refusal);
// The refusal of a cell the spreadsheet holds as a number rather than as text (1565123456 for
// 001565123456): whatever else is wrong with its digits, that is the cause to name, and the
// column must be formatted as text.
Refusal storedAsNumber(const Refusal& refusal, std::string_view cell);

enum class LetterCase { None, Lower, Upper, Mixed };

// How a device's MAC is written in its file names and in the records sent for it.
enum class Form {
    Plain,      // the 12 digits, letters in the case the cell has
    Lower,      // the 12 digits in lower case
    Upper,      // the 12 digits in upper case
    AsWritten,  // the cell's text unchanged
};

inline constexpr Form kDefaultForm = Form::Plain;

// "plain", "lower", "upper", "as-written".
std::string_view formName(Form form);
std::optional<Form> parseForm(std::string_view name);
// "plain, lower, upper, as-written": for usage texts and their errors.
std::string_view formNames();

class Address {
public:
    // The 12 digits, in the case the cell has them.
    const std::string& digits() const { return m_digits; }
    // 12 lower-case digits: the one form devices are compared and stored in.
    std::string canonical() const;
    LetterCase letterCase() const;
    // The address in the given form; AsWritten gives back cell, which must be the text it
    // was read from.
    std::string written(Form form, std::string_view cell) const;

private:
    friend class Reading;
    explicit Address(std::string digits) : m_digits(std::move(digits)) {}
    std::string m_digits;
};

// A cell read as a MAC address: either the address or why it is not one.
class Reading {
public:
    explicit Reading(std::string_view cell);

    bool ok() const { return std::holds_alternative<Address>(m_outcome); }
    const Address& address() const { return std::get<Address>(m_outcome); }
    const Refusal& refusal() const { return std::get<Refusal>(m_outcome); }

private:
    std::variant<Address, Refusal> m_outcome;
};

// The cell without its surrounding spaces, tabs and no-break spaces.
std::string_view trimWhiteSpace(std::string_view cell);

// The canonical form of a cell that is a MAC address, nothing otherwise.
std::optional<std::string> canonicalMac(std::string_view cell);

// The case of a run's letters taken together: Mixed once both cases have been seen.
LetterCase combine(LetterCase seen, LetterCase next);

}  // namespace velquor::mac
