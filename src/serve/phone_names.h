// Which phone a file name is for: a name is a phone's when it holds a MAC address (12 hex
// digits, alone or in a usual spelling) with some text before and after it, as generated
// files are named ({mac}.xml, cfg{mac}.xml). Phones ask in the case and spelling of their
// firmware, so a request and a file belong together when their texts around the MAC agree
// (case aside) and the MAC is the same in its canonical form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::serve {

struct PhoneName {
    std::string prefix;     // the text before the MAC, lower-cased
    std::string mac;        // canonical
    std::string extension;  // the text after it, lower-cased

    // The key a request and a file are matched by.
    std::string key() const { return prefix + '\0' + mac + '\0' + extension; }
};

// The first MAC address in name (leftmost, the longest spelling where two start at one place)
// whose neighbours are no hex digits; nothing for a name that holds none.
std::optional<PhoneName> phoneName(std::string_view name);

}  // namespace velquor::serve
