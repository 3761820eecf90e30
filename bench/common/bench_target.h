// How a benchmark states a target it is held to: one line "target<TAB>what<TAB>value<TAB><= or
// >=<TAB>goal" on standard output, which scripts/run-bench gathers into the table that ends
// `make bench`. Each program also exits non-zero when it misses one, so that a run on its
// own tells as well.
#pragma once

#include <cstdio>
#include <string>

namespace velquor::bench {

enum class Goal { AtMost, AtLeast };

// Prints the line and returns whether the target was met.
inline bool reportTarget(const std::string& what, double value, Goal goal, double target) {
    std::printf("target\t%s\t%.3f\t%s\t%.3f\n", what.c_str(), value,
                goal == Goal::AtMost ? "<=" : ">=", target);
    std::fflush(stdout);
    return goal == Goal::AtMost ? value <= target : value >= target;
}

}  // namespace velquor::bench
