// How a benchmark states a target it is held to: one line "target<TAB>what<TAB>value<TAB><= or
// >=<TAB>goal" (and "<TAB>median" when the value is the median of its own rounds) on standard
// output, which scripts/run-bench gathers into the table that ends
// `make bench`. Each program also exits non-zero when it misses one, so that a run on its
// own tells as well.
//
// A figure a shared machine makes noisy is measured several times and judged on the median of
// the runs (reportMedianTarget), which also prints the runs' spread beside the margin the
// median keeps from the goal: a target is only worth holding when that margin is wider than
// the spread. A ratio to a baseline is taken run by run, each run beside its own baseline
// run, so that a machine getting busier between the two blocks of runs does not move it.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace velquor::bench {

enum class Goal { AtMost, AtLeast };

// Prints the line and returns whether the target was met.
inline bool reportTarget(const std::string& what, double value, Goal goal, double target) {
    std::printf("target\t%s\t%.3f\t%s\t%.3f\n", what.c_str(), value,
                goal == Goal::AtMost ? "<=" : ">=", target);
    std::fflush(stdout);
    return goal == Goal::AtMost ? value <= target : value >= target;
}

// The processor time (user and system) this process (or, with RUSAGE_CHILDREN, its waited-for
// children) has used so far, in seconds.
inline double processorSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The middle value (the upper middle of an even count); 0 for none.
inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// (largest - smallest) / median: how far apart the runs were, as a share of the median.
inline double relativeSpread(const std::vector<double>& values) {
    const double middle = median(values);
    if (values.empty() || middle == 0) return 0;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return (*high - *low) / std::fabs(middle);
}

// Prints the runs, their spread and the median's margin from the goal, then the target line
// for the median; returns whether the median met it.
inline bool reportMedianTarget(const std::string& what, const std::vector<double>& runs, Goal goal,
                               double target) {
    const double middle = median(runs);
    std::printf("%s: %zu runs:", what.c_str(), runs.size());
    for (double run : runs) std::printf(" %.3f", run);
    const double margin = middle == 0 ? 0
                                      : (goal == Goal::AtMost ? target - middle : middle - target) /
                                            std::fabs(middle);
    std::printf("; median %.3f, spread %.0f %%, margin %.0f %%%s\n", middle,
                100 * relativeSpread(runs), 100 * margin,
                margin >= 0 && margin < relativeSpread(runs) ? " (within the spread)" : "");
    std::printf("target\t%s\t%.3f\t%s\t%.3f\tmedian\n", what.c_str(), middle,
                goal == Goal::AtMost ? "<=" : ">=", target);
    std::fflush(stdout);
    return goal == Goal::AtMost ? middle <= target : middle >= target;
}

}  // namespace velquor::bench
