// BatchPrompts: what a running Device Add or Delete shows its operator. Each MAC address that
// failed gets its box at once (the core reports at most a handful one by one); the batch's
// last word — the completion text or the summary — waits until the batch has returned, so its
// box can carry the run's counts beneath the product's text and say where the rest of the
// failures are: in the results view that opens after it.
#pragma once

#include <QString>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/kesto/kesto_reporting.h"

namespace velquor::app {

class BatchPrompts final : public support::Reporter {
public:
    explicit BatchPrompts(ControlWindow& window) : m_prompts(window) {}

    void report(std::string_view text, std::string_view caption) override;
    void reportWithDetail(std::string_view text, std::string_view caption,
                          std::string_view detail) override;
    void reportWorded(std::string_view text, std::string_view caption,
                      const support::Phrase& detail) override;
    provisioning::ReplaceAnswer askReplace(const std::string& question,
                                           const std::string& registeredTo,
                                           const std::string& replacement) {
        return m_prompts.askReplace(question, registeredTo, replacement);
    }
    bool askRetry(const std::string& server, const support::Phrase& reason,
                  std::string_view caption) {
        return m_prompts.askRetry(server, reason, caption);
    }
    std::optional<std::string> askNewLogin(const std::string& server) {
        return m_prompts.askNewLogin(server);
    }

    // On the GUI thread once the batch has returned: the reports held back, the last of them
    // with counts (when not empty) and, when failures outnumber the boxes already shown, a line
    // that sends the operator to the results view.
    void showHeldReports(const QString& counts, std::size_t failures);
    // A held text the window words itself when it has a translation (the core's English summary
    // of the batch): worded is shown in its place.
    void wordHeldText(std::string english, QString worded) {
        m_wordedEnglish = std::move(english);
        m_worded = std::move(worded);
    }

    // True for the product's "… add failed!", "… replace failed!" and "… delete failed!".
    static bool isPerMacFailure(std::string_view text);

private:
    struct Held {
        std::string text;
        std::string caption;
        std::string detail;
        support::Phrase phrase;  // the detail as the window words it, when it can
    };

    GuiThreadPrompts m_prompts;
    std::mutex m_mutex;
    std::vector<Held> m_held;
    std::size_t m_failureBoxes = 0;
    std::string m_wordedEnglish;
    QString m_worded;
};

}  // namespace velquor::app
