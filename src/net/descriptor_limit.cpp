// The descriptor limit; see descriptor_limit.h.
#include "net/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace velquor::net {
namespace {

constexpr rlim_t kMostDescriptors = 1 << 20;
constexpr std::uint64_t kUsualLimit = 1024;

}  // namespace

std::uint64_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return kUsualLimit;
    const rlim_t wanted = std::min(limit.rlim_max, kMostDescriptors);
    if (limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur;
}

}  // namespace velquor::net
