// Waiting in tests for something another process or thread does: the predicate is asked again
// and again, with a short pause between, until it holds or the limit has passed. The limit is
// only a bound for a fault (nothing comes); a passing test waits only as long as the event takes.
#pragma once

#include <chrono>
#include <functional>

namespace velquor::testing {

// True as soon as predicate holds; false once limit has passed without it.
bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit);

}  // namespace velquor::testing
