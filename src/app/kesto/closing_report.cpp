// ClosingReportHold: one report held back at a time.
#include "app/kesto/closing_report.h"

#include <utility>

namespace velquor::app {

void ClosingReportHold::report(std::string_view text, std::string_view caption) {
    reportWithDetail(text, caption, {});
}

void ClosingReportHold::reportWithDetail(std::string_view text, std::string_view caption,
                                         std::string_view detail) {
    release();
    m_held = Report{std::string(text), std::string(caption), std::string(detail)};
}

void ClosingReportHold::progress(std::uint64_t done, std::uint64_t total, std::string_view what) {
    release();
    m_progress.progress(done, total, what);
}

void ClosingReportHold::release() {
    if (!m_held) return;
    const Report held = std::move(*m_held);
    m_held.reset();
    if (held.detail.empty()) {
        m_shown.report(held.text, held.caption);
    } else {
        m_shown.reportWithDetail(held.text, held.caption, held.detail);
    }
}

std::optional<ClosingReportHold::Report> ClosingReportHold::takeClosing() {
    return std::exchange(m_held, std::nullopt);
}

}  // namespace velquor::app
