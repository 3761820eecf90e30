// ClosingReportHold: the box that closes a device batch (its completion text or its summary)
// must open once the progress dialog has gone, while the boxes about single rows open during the
// run, above the dialog. The batch does not say which report is its last, but it reports
// progress after every row: so each report is held until the batch reports progress or asks a
// question (it was a row's, and is shown at once), and the one still held when the batch returns
// is the closing one, shown by the caller after the progress dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/progress.h"
#include "support/reporter.h"

namespace velquor::app {

class ClosingReportHold final : public support::Reporter, public support::ProgressSink {
public:
    struct Report {
        std::string text;
        std::string caption;
        std::string detail;
    };

    // Reports go on to shown, progress to progress; both are used on the batch's thread.
    ClosingReportHold(support::Reporter& shown, support::ProgressSink& progress)
        : m_shown(shown), m_progress(progress) {}

    void report(std::string_view text, std::string_view caption) override;
    void reportWithDetail(std::string_view text, std::string_view caption,
                          std::string_view detail) override;
    void progress(std::uint64_t done, std::uint64_t total, std::string_view what) override;

    // Shows the held report now; a question asked next must come after it.
    void release();
    // The report held when the batch returned: its closing one, if it made one.
    std::optional<Report> takeClosing();

private:
    support::Reporter& m_shown;
    support::ProgressSink& m_progress;
    std::optional<Report> m_held;
};

}  // namespace velquor::app
