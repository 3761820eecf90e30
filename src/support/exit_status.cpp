// The mapping from error codes to exit statuses; see exit_status.h.
#include "support/exit_status.h"

namespace velquor::support {

int exitStatusFor(ErrorCode code) {
    // Every code is listed, without a default, so that a new one cannot slip into
    // "failure" unnoticed: the compiler asks where it belongs.
    switch (code) {
        case ErrorCode::Usage:
            return kExitUsage;
        case ErrorCode::Cancelled:
            return kExitInterrupted;
        case ErrorCode::InvalidInput:
        case ErrorCode::NotFound:
        case ErrorCode::Io:
        case ErrorCode::Unsupported:
        case ErrorCode::TooLarge:
        case ErrorCode::SameFile:
        case ErrorCode::Network:
        case ErrorCode::Refused:
        case ErrorCode::Internal:
            return kExitFailure;
    }
    return kExitFailure;
}

}  // namespace velquor::support
