// How many MAC addresses a MAC file lists, for the question asked before they are deregistered.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace velquor::app {

// The cells that show something, each of which the batch sends as one request; nullopt when
// the file cannot be read (the batch itself then says why, before sending anything).
std::optional<std::size_t> countMacAddresses(const std::string& path);

}  // namespace velquor::app
