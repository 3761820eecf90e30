// waitUntil; see wait_until.h.
#include "wait_until.h"

#include <algorithm>
#include <thread>

namespace velquor::testing {

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    // Short pauses first, so a quick event is seen at once; then a few a second at most.
    auto pause = std::chrono::milliseconds(1);
    while (!predicate()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace velquor::testing
