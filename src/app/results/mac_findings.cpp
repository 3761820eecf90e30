// The questions before a run; see mac_findings.h.
#include "app/results/mac_findings.h"

#include <QCoreApplication>

#include "app/kit/window/control_window.h"
#include "app/language/core_texts.h"
#include "app/results/results_view.h"
#include "settings/kesto_settings.h"

namespace velquor::app {
namespace {

// Rows of one phone that differ, listed in the question; Show rows has them all.
constexpr std::size_t kDifferingListed = 3;

// Rows the run leaves out are what the operator opened the view for.
void markUnusable(RunResults& view, const QString& replaced, const QString& refused,
                  const QString& skipped) {
    for (ResultRow& row : view.rows) {
        if (row.outcome == replaced || row.outcome == refused || row.outcome == skipped)
            row.failed = true;
    }
}

}  // namespace

MacFindings generationFindings(const generator::GenerationReport& check, const QString& folder) {
    MacFindings findings;
    findings.rows = check.devices.size();
    findings.notMac = check.count(generator::DeviceOutcome::Refused);
    findings.repeated = check.count(generator::DeviceOutcome::Superseded);
    findings.failed = check.count(generator::DeviceOutcome::Failed);
    findings.emptyCells = check.withEmptyValues();
    findings.generate = true;
    if (!check.refusal.empty()) findings.refusal = coreReason(check.refusal, check.refusalPhrase);
    // The rows with empty cells first, by row and column, below the line that counts them.
    for (const support::Phrase& row : generator::emptyValuesFindings(check)) {
        findings.notes << coreText(row);
    }
    for (const support::Phrase& finding : check.columnFindings) {
        findings.notes << coreText(finding);
    }
    if (check.mixedCase) findings.notes << coreText(generator::mixedCasePhrase(check));
    for (const generator::DeviceResult& device : check.devices) {
        if (!device.valuesDiffer) continue;
        if (++findings.differing <= kDifferingListed) {
            findings.notes << coreReason(device.reason, device.reasonPhrase);
        }
    }
    if (findings.differing > kDifferingListed) {
        // lupdate reads no cast as the count
        const int more = static_cast<int>(findings.differing - kDifferingListed);
        findings.notes << QCoreApplication::translate("velquor::app::MacFindings",
                                                      "… and %n more phone(s) whose rows differ.",
                                                      nullptr, more);
    }
    findings.view = generationResults(check, folder);
    findings.view.title =
        QCoreApplication::translate("velquor::app::MacFindings", "Generate — the rows checked");
    markUnusable(findings.view,
                 coreText(generator::outcomeName(generator::DeviceOutcome::Superseded)),
                 coreText(generator::outcomeName(generator::DeviceOutcome::Refused)), QString());
    return findings;
}

MacFindings deviceFindings(const provisioning::DeviceBatchSummary& check, const QString& macFile,
                           bool typedCells) {
    MacFindings findings;
    // The header is the file's shape: neither a row to count nor one that cannot be used.
    findings.rows = check.macCells();
    findings.notMac = check.count(provisioning::MacOutcome::Refused);
    findings.repeated = check.count(provisioning::MacOutcome::Skipped);
    findings.view = deviceBatchResults(check, macFile, !typedCells);
    findings.view.title = typedCells
                              ? QCoreApplication::translate("velquor::app::MacFindings",
                                                            "MAC addresses box — the cells checked")
                              : QCoreApplication::translate("velquor::app::MacFindings",
                                                            "MAC file — the cells checked");
    markUnusable(findings.view, QString(),
                 coreText(provisioning::outcomeName(provisioning::MacOutcome::Refused)),
                 coreText(provisioning::outcomeName(provisioning::MacOutcome::Skipped)));
    return findings;
}

namespace {

// "2 of 4 rows cannot be used (...)", naming only the kinds of row found.
QString findingsQuestion(const MacFindings& findings) {
    const int rows = static_cast<int>(findings.rows);  // lupdate reads no cast as the count
    const std::size_t unusable = findings.notMac + findings.repeated;
    if (findings.repeated == 0) {
        return QCoreApplication::translate("velquor::app::MacFindings",
                                           "%1 of %n rows cannot be used (not MAC addresses).",
                                           nullptr, rows)
            .arg(unusable);
    }
    if (findings.notMac == 0) {
        return QCoreApplication::translate("velquor::app::MacFindings",
                                           "%1 of %n rows cannot be used (repeated MACs).", nullptr,
                                           rows)
            .arg(unusable);
    }
    return QCoreApplication::translate("velquor::app::MacFindings",
                                       "%1 of %n rows cannot be used (not MAC addresses: %2, "
                                       "repeated MACs: %3).",
                                       nullptr, rows)
        .arg(unusable)
        .arg(findings.notMac)
        .arg(findings.repeated);
}

}  // namespace

// The rows of a Generate check that can be written but are worth a look first.
QString fieldFindings(const MacFindings& findings) {
    QStringList lines;
    const int failed = static_cast<int>(findings.failed);  // lupdate reads no cast as the count
    const int empty = static_cast<int>(findings.emptyCells);
    if (failed > 0) {
        lines << QCoreApplication::translate("velquor::app::MacFindings",
                                             "%n row(s) name a template that cannot be read.",
                                             nullptr, failed);
    }
    if (empty > 0) {
        lines << QCoreApplication::translate(
            "velquor::app::MacFindings",
            "%n row(s) have empty cells in fields the template fills (Password, Proxy, ...).",
            nullptr, empty);
    }
    return lines.join(QLatin1Char('\n'));
}

namespace {

// What the answers do, fitted to what was found.
QString answersText(const MacFindings& findings) {
    if (!findings.generate) {
        return QCoreApplication::translate(
            "velquor::app::MacFindings",
            "Continue does the other rows; Cancel writes and sends nothing. Show rows lists every "
            "row with its reason first.");
    }
    if (findings.notMac + findings.repeated + findings.failed > 0) {
        return QCoreApplication::translate(
            "velquor::app::MacFindings",
            "Continue writes the files of the other rows (a phone's from its last row); Cancel "
            "writes nothing. Show rows lists every row with its reason first.");
    }
    return QCoreApplication::translate("velquor::app::MacFindings",
                                       "Continue writes every row as it stands; Cancel writes "
                                       "nothing. Show rows lists every row with its reason first.");
}

}  // namespace

bool confirmMacFindings(ControlWindow& window, MacFindings findings) {
    if (!findings.any()) return true;
    QString question =
        findings.notMac + findings.repeated > 0 ? findingsQuestion(findings) : QString();
    QStringList lines = findings.notes;
    if (const QString more = fieldFindings(findings); !more.isEmpty()) lines.prepend(more);
    if (!findings.refusal.isEmpty()) {
        lines.prepend(question);
        window.messageBox(
            findings.refusal, QString(), MessageButtons::Ok, MessageIcon::Warning,
            (lines.join(QLatin1Char('\n')).trimmed() + QStringLiteral("\n\n") +
             QCoreApplication::translate("velquor::app::MacFindings",
                                         "Nothing can be written until every placeholder of "
                                         "the templates has a column of the sheet or a default."))
                .trimmed());
        return false;
    }
    if (!lines.isEmpty()) {
        question +=
            (question.isEmpty() ? QString() : QStringLiteral("\n")) + lines.join(QLatin1Char('\n'));
    }
    const QString details = answersText(findings);
    for (;;) {
        const Answer answer =
            window.messageBox(question, QString(), MessageButtons::ShowRowsContinueCancel,
                              MessageIcon::Question, details);
        if (answer != Answer::ShowRows) return answer == Answer::Continue;
        ResultsView view(window.prompter(), findings.view, &window);
        // It lives on this stack: closing it must not delete it as well.
        view.setAttribute(Qt::WA_DeleteOnClose, false);
        view.exec();
    }
}

mac::Form configuredMacForm() {
    const auto loaded = settings::loadSettings();
    return loaded ? loaded->effective.macForm.value : mac::kDefaultForm;
}

mac::FileNamePattern configuredFileName() {
    const auto loaded = settings::loadSettings();
    return loaded ? loaded->effective.fileName.value : mac::FileNamePattern();
}

bool confirmServerText(ControlWindow& window, const std::string& server) {
    const support::Phrase warning = provisioning::serverTextWarningPhrase(server);
    if (warning.empty()) return true;
    return window.messageBox(coreSentence(warning), QString(), MessageButtons::ContinueCancel,
                             MessageIcon::Warning,
                             QCoreApplication::translate(
                                 "velquor::app::MacFindings",
                                 "The Server text is sent with every device as it stands.")) ==
           Answer::Continue;
}

}  // namespace velquor::app
