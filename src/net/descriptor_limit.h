// The descriptors a server may hold: every open connection is one, and the usual soft limit of
// 1024 would cap a server below its own connection limit.
#pragma once

#include <cstdint>

namespace velquor::net {

// Raises this process's soft limit on open descriptors to its hard limit (at most 1,048,576,
// the kernel's usual ceiling); returns the soft limit now in force.
std::uint64_t raiseDescriptorLimit();

}  // namespace velquor::net
