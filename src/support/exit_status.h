// The exit statuses of every Velquor program, and the one rule that turns an error into one.
// Scripts branch on these, so both programs must agree: 0 done, 1 the work failed, 2 the
// command line was wrong, 130 stopped by SIGINT/SIGTERM (the shell's status for Ctrl-C).
#pragma once

#include "support/result.h"

namespace velquor::support {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

int exitStatusFor(ErrorCode code);

// kExitOk for a success, otherwise the status of its error.
template <typename T>
int exitStatusFor(const Result<T>& result) {
    return result ? kExitOk : exitStatusFor(result.error().code);
}

}  // namespace velquor::support
