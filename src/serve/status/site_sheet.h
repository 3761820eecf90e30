// The site's phones: the MAC addresses of a device sheet or of a MAC file. A device sheet has
// its MACs in column A and other values (user ids of twelve digits among them) beside them,
// so where column A holds MAC addresses only column A is read; a MAC file laid out elsewhere
// gives every cell that is a MAC address. A header and cells that are no MAC are passed over.
#pragma once

#include <stop_token>
#include <string>
#include <vector>

#include "support/result.h"

namespace velquor::serve {

// The canonical MACs in the sheet's order, each once; an error for a file that cannot be read
// or holds no MAC address.
support::Result<std::vector<std::string>> readSite(const std::string& path,
                                                   const std::stop_token& stop = {});

}  // namespace velquor::serve
