// The names device files take: a pattern holding {mac} once ("{mac}.xml", "cfg{mac}.xml",
// "{mac}.cfg"), the MAC written into it in the run's form. The generator names its files by
// it, a file server answers a phone's request by it, and a look at a folder tells by it which
// files belong to which phone, whatever spelling or case they were written in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mac/mac_address.h"
#include "support/result.h"

namespace velquor::mac {

// The place of the MAC in a pattern.
inline constexpr std::string_view kMacField = "{mac}";
// Today's names: the MAC and ".xml".
inline constexpr std::string_view kDefaultFileName = "{mac}.xml";

class FileNamePattern {
public:
    // The default pattern, {mac}.xml.
    FileNamePattern();

    // A pattern as typed: white space at either end is dropped. Refused, with the reason, when
    // it holds no {mac} or more than one, a path separator ('/' or '\'), "..", a control
    // character, starts with a dot (hidden files) or leaves no room for a MAC in a file name.
    static support::Result<FileNamePattern> parse(std::string_view text);

    const std::string& text() const { return m_text; }
    std::string_view prefix() const { return m_prefix; }
    std::string_view suffix() const { return m_suffix; }

    // The name of the file of a MAC already written in the run's form ("001A2B3C4D5E").
    std::string name(std::string_view written) const;
    // The name for a device known by its canonical MAC (12 lower-case digits): Upper writes
    // the digits in upper case, every other form as they are (the cell that Plain and
    // AsWritten would follow is not known from the canonical form).
    std::string nameFor(std::string_view canonical, Form form) const;

    // The canonical MAC of the phone a file name belongs to under this pattern: the text
    // around the MAC as the pattern has it (letters in any case), the MAC in any spelling a
    // cell may use (mac_address.h) and any case. Nothing for a name that is not one of the
    // pattern's.
    std::optional<std::string> deviceOf(std::string_view fileName) const;
    // Whether fileName is a file of the phone with this canonical MAC under the pattern.
    bool belongsTo(std::string_view fileName, std::string_view canonical) const;

    bool operator==(const FileNamePattern& other) const { return m_text == other.m_text; }

private:
    std::string m_text;
    std::string m_prefix;
    std::string m_suffix;
};

}  // namespace velquor::mac
