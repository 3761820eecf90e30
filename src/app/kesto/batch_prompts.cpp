// BatchPrompts: per-MAC failures shown as they come, the batch's last word held for its counts.
#include "app/kesto/batch_prompts.h"

#include <QStringList>

#include "app/kit/window/control_window.h"
#include "app/language/core_texts.h"

namespace velquor::app {
namespace {

// The product's per-MAC message with its "%s" taken out: what every such text ends with.
bool endsLikePattern(std::string_view text, std::string_view pattern) {
    const std::string_view tail = pattern.substr(pattern.find("%s") + 2);
    return text.size() > tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

bool BatchPrompts::isPerMacFailure(std::string_view text) {
    using namespace provisioning::kesto_text;
    return endsLikePattern(text, kAddFailed) || endsLikePattern(text, kReplaceFailed) ||
           endsLikePattern(text, kDeleteFailed);
}

void BatchPrompts::report(std::string_view text, std::string_view caption) {
    reportWithDetail(text, caption, {});
}

void BatchPrompts::reportWithDetail(std::string_view text, std::string_view caption,
                                    std::string_view detail) {
    // A plain detail is looked up as a fixed text of the core.
    reportWorded(text, caption,
                 support::Phrase{"%1", {std::string(detail)}, support::markedArgument(1)});
}

void BatchPrompts::reportWorded(std::string_view text, std::string_view caption,
                                const support::Phrase& detail) {
    const std::string english = detail.english();
    if (isPerMacFailure(text)) {
        {
            const std::lock_guard lock(m_mutex);
            ++m_failureBoxes;
        }
        m_prompts.reportWorded(text, caption, detail);
        return;
    }
    const std::lock_guard lock(m_mutex);
    m_held.push_back(Held{std::string(text), std::string(caption), english, detail});
}

void BatchPrompts::showHeldReports(const QString& counts, std::size_t failures) {
    std::vector<Held> held;
    std::size_t shown = 0;
    {
        const std::lock_guard lock(m_mutex);
        held.swap(m_held);
        shown = m_failureBoxes;
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        QStringList details;
        if (!held[i].detail.empty()) details << coreReason(held[i].detail, held[i].phrase);
        if (i + 1 == held.size()) {
            if (!counts.isEmpty()) details << counts;
            if (failures > shown) {
                details << ControlWindow::tr(
                               "%1 of the %n failures had no box of their own: "
                               "every row, with its reason, is in the results "
                               "view.",
                               nullptr, static_cast<int>(failures))
                               .arg(failures - shown);
            }
        }
        const bool worded = held[i].text == m_wordedEnglish && coreTextsTranslated();
        m_prompts.reportWithDetail(worded ? toBytes(m_worded) : held[i].text, held[i].caption,
                                   toBytes(details.join('\n')));
    }
}

}  // namespace velquor::app
