// The per-account hold; see guessing_limit.h.
#include "server/guard/guessing_limit.h"

#include <algorithm>
#include <cstdint>

namespace velquor::server {

std::chrono::milliseconds LoginLimits::holdAfter(long long excess) const {
    const auto first = std::max(window / 150, std::chrono::milliseconds(1));
    const auto longest = std::max(window / 5, first);
    const auto doublings = std::clamp<long long>(excess - 1, 0, 20);
    return std::min(longest, first * (std::int64_t{1} << doublings));
}

}  // namespace velquor::server
