// Memory and interruption checks on child processes; see process_checks.h.
#include "process_checks.h"

#include <sys/resource.h>

#include <chrono>
#include <csignal>

#include "child_process.h"
#include "wait_until.h"

namespace velquor::testing {

std::uint64_t peakChildMemoryBytes() {
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // the kernel counts in KiB
}

int exitStatusAfterInterrupt(const std::vector<std::string>& arguments,
                             const std::filesystem::path& outputFile,
                             const std::function<bool(const ChildProcess&)>& atWork) {
    using namespace std::chrono_literals;
    ChildProcess child(arguments, outputFile);
    // The limits only keep a broken program from hanging the suite; nothing here is timed.
    if (!child.waitUntilHandling(SIGINT, 20s)) return -1;
    if (!waitUntil([&] { return atWork(child); }, 20s)) return -1;
    child.sendSignal(SIGINT);
    return child.waitForExit(60s).value_or(-1);
}

std::string shellAwaitStopHandlers(const std::string& pidVariable, const std::string& program) {
    // SigCgt's last four hex digits hold signals 1 to 16: SIGINT (2) is 0x2, SIGTERM (15)
    // 0x4000.
    const std::string pid = "$" + pidVariable;
    return "for _ in $(seq 400); do handled=no; for p in " + pid + " $(pgrep -P " + pid +
           "); do [ \"$(cat /proc/$p/comm 2>/dev/null)\" = " + program +
           " ] || continue; m=$(sed -n 's/^SigCgt:[[:space:]]*//p' /proc/$p/status); "
           "m=${m#${m%????}}; [ $((0x$m & 0x4002)) -eq 16386 ] && handled=yes; done; "
           "[ $handled = yes ] && break; sleep 0.05; done; ";
}

}  // namespace velquor::testing
