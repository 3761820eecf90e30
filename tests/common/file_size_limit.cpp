// See file_size_limit.h. Only the soft limit is lowered, so it can be raised again without
// privileges.
#include "file_size_limit.h"

#include <stdexcept>

namespace velquor::testing {

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGXFSZ, &ignore, &m_previousAction) != 0 ||
        ::getrlimit(RLIMIT_FSIZE, &m_previousLimit) != 0) {
        throw std::runtime_error("cannot set up a file size limit");
    }
    struct rlimit lowered = m_previousLimit;
    lowered.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0) {
        ::sigaction(SIGXFSZ, &m_previousAction, nullptr);
        throw std::runtime_error("cannot lower the file size limit");
    }
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_previousLimit);
    ::sigaction(SIGXFSZ, &m_previousAction, nullptr);
}

}  // namespace velquor::testing
