// Which phone a name asked is about, whatever the name: the first MAC address in it (12 hex
// digits, alone or in a usual spelling) whose neighbours are no hex digits. Serving goes by
// the file-name pattern (mac/file_name.h); this only tells whose request a name that does not
// fit it was, so that a phone asking with the wrong extension or pattern shows at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::serve {

// The canonical MAC; nothing for a name that holds none.
std::optional<std::string> macInName(std::string_view name);

}  // namespace velquor::serve
