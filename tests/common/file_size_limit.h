// FileSizeLimit: for its lifetime, no file of this process may grow past a few bytes, so a
// write fails part-way as it does on a full disk or over quota. SIGXFSZ is ignored meanwhile,
// so the failing write returns EFBIG instead of ending the process; both are put back after.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace velquor::testing {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_previousLimit {};
    struct sigaction m_previousAction {};
};

}  // namespace velquor::testing
