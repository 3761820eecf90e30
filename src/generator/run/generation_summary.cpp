// The outcome of a generation run in words: its counts, the notes on its rows and the summary
// text; see generation_job.h.
#include <algorithm>

#include "generator/run/generation_job.h"
#include "generator/run/row_notes.h"
#include "support/translatable.h"
#include "support/wording.h"

namespace velquor::generator {

using support::plural;

// A replaced row's file was written over by a later row, which carries its own warning.
bool hasEmptyValues(const DeviceResult& device) {
    return !device.emptyElements.empty() &&
           (device.outcome == DeviceOutcome::Written || device.outcome == DeviceOutcome::Checked);
}

// "row 3: written, with UserID, Password empty"
support::Phrase emptyValuesNote(const DeviceResult& device) {
    std::string names;
    for (const std::string& name : device.emptyElements) {
        names += names.empty() ? name : ", " + name;
    }
    return support::Phrase{VELQUOR_TR_NOOP("core", "row %1: %2, with %3 empty"),
                           {std::to_string(device.row), outcomeName(device.outcome), names},
                           support::markedArgument(2)};
}

std::size_t GenerationReport::count(DeviceOutcome outcome) const {
    std::size_t n = 0;
    for (const DeviceResult& device : devices) n += device.outcome == outcome ? 1 : 0;
    return n;
}

std::size_t GenerationReport::filesWritten() const {
    std::size_t n = 0;
    for (const DeviceResult& device : devices) {
        // A replaced row's files were overwritten by a later row: count each file once.
        if (device.outcome == DeviceOutcome::Checked ||
            device.outcome == DeviceOutcome::Superseded) {
            continue;
        }
        n += device.plainFile.empty() ? 0 : 1;
        n += device.encryptedFile.empty() ? 0 : 1;
    }
    return n;
}

std::size_t GenerationReport::withEmptyValues() const {
    std::size_t n = 0;
    for (const DeviceResult& device : devices) n += hasEmptyValues(device) ? 1 : 0;
    return n;
}

bool GenerationReport::allWritten() const {
    return !cancelled && refusal.empty() && syncError.empty() && checkSumsError.empty() &&
           count(DeviceOutcome::Failed) == 0 && count(DeviceOutcome::Cancelled) == 0 &&
           count(DeviceOutcome::Refused) == 0;
}

const char* outcomeName(DeviceOutcome outcome) {
    switch (outcome) {
        case DeviceOutcome::Written:
            return VELQUOR_TR_NOOP("core", "written");
        case DeviceOutcome::Superseded:
            return VELQUOR_TR_NOOP("core", "replaced");
        case DeviceOutcome::Checked:
            return VELQUOR_TR_NOOP("core", "checked");
        case DeviceOutcome::Failed:
            return VELQUOR_TR_NOOP("core", "failed");
        case DeviceOutcome::Cancelled:
            return VELQUOR_TR_NOOP("core", "cancelled");
        case DeviceOutcome::Refused:
            return VELQUOR_TR_NOOP("core", "refused");
    }
    return VELQUOR_TR_NOOP("core", "unknown");
}

namespace {

// Enough rows for the user to see the pattern; the rest are counted.
constexpr std::size_t kListedRows = 8;
// Rows with empty values: the first few name the row and the columns, the rest are counted.
constexpr std::size_t kListedEmptyRows = 5;

void listRows(std::string& text, const GenerationReport& report, DeviceOutcome outcome,
              const std::string& restLabel) {
    std::size_t listed = 0;
    std::size_t total = 0;
    for (const DeviceResult& device : report.devices) {
        if (device.outcome != outcome) continue;
        ++total;
        if (listed < kListedRows) {
            text += "\n- " + device.reason;
            ++listed;
        }
    }
    if (total > listed) {
        text += "\n... and " + plural(total - listed, restLabel.c_str(), restLabel.c_str());
    }
}

}  // namespace

std::vector<support::Phrase> emptyValuesFindings(const GenerationReport& report) {
    std::vector<support::Phrase> findings;
    std::size_t rows = 0;
    for (const DeviceResult& device : report.devices) {
        if (!hasEmptyValues(device)) continue;
        if (++rows <= kListedEmptyRows) findings.push_back(emptyValuesNote(device));
    }
    if (rows > kListedEmptyRows) {
        //: %1 is a number of rows
        findings.push_back(support::Phrase{VELQUOR_TR_NOOP("core", "... and %1 more rows"),
                                           {std::to_string(rows - kListedEmptyRows)}});
    }
    return findings;
}

std::string emptyValuesText(const GenerationReport& report) {
    const std::size_t rows = report.withEmptyValues();
    if (rows == 0) return {};
    std::string text = plural(rows, "row was", "rows were") +
                       (report.dryRun ? " checked" : " written") + " with empty values:";
    for (const support::Phrase& finding : emptyValuesFindings(report)) {
        text += "\n- " + finding.english();
    }
    return text;
}

support::Phrase mixedCasePhrase(const GenerationReport& report) {
    //: %1 and %2 are numbers of file names
    return support::Phrase{
        VELQUOR_TR_NOOP("core",
                        "The file names mix cases (%1 with upper-case "
                        "letters, %2 with lower-case ones), and a phone asks "
                        "for its file in one case: set mac-form to lower or "
                        "upper (the MAC form in Settings, [devices] of "
                        "velquor.conf, --mac-form of velquor-cli)."),
        {std::to_string(report.upperCaseNames), std::to_string(report.lowerCaseNames)}};
}

std::string checkSumsDroppedText(const GenerationReport& report) {
    const bool one = report.checkSumsLinesDropped == 1;
    return support::plural(report.checkSumsLinesDropped, "line", "lines") + " of MD5SUMS named " +
           (one ? "a file no longer there and was" : "files no longer there and were") +
           " dropped.";
}

std::string emptyRowsText(std::size_t emptyRows) {
    return plural(emptyRows, "empty row was", "empty rows were") + " skipped: they hold no device.";
}

bool GenerationReport::hasUnlistedRows() const {
    return count(DeviceOutcome::Failed) > kListedRows ||
           count(DeviceOutcome::Superseded) > kListedRows ||
           count(DeviceOutcome::Refused) > kListedRows;
}

std::string generationSummaryText(const GenerationReport& report, bool reportWritten) {
    const std::size_t failed = report.count(DeviceOutcome::Failed);
    const std::size_t replaced = report.count(DeviceOutcome::Superseded);
    const std::size_t cancelled = report.count(DeviceOutcome::Cancelled);
    const std::size_t refused = report.count(DeviceOutcome::Refused);
    const std::size_t devices = report.devices.size();
    if (report.allWritten() && replaced == 0 && !report.dryRun) return "Success !";

    std::string text;
    if (!report.refusal.empty()) {
        text = "Check: " + report.refusal + ".";
    } else if (report.macCheckOnly) {
        text = "Check: " + std::to_string(report.count(DeviceOutcome::Checked)) + " of " +
               plural(devices, "device row", "device rows") + " can be used; nothing was written.";
    } else if (report.dryRun) {
        text = "Dry run: " + std::to_string(report.count(DeviceOutcome::Checked)) + " of " +
               plural(devices, "device row", "device rows") +
               " can be written; nothing was written.";
    } else {
        // Rows, not files: with encryption each written row leaves two files.
        const std::size_t written = report.count(DeviceOutcome::Written);
        text = std::to_string(written) + " of " + plural(devices, "device row", "device rows") +
               " written";
        if (report.encrypted && written > 0) {
            text += written == 1 ? " (with its encrypted copy in \"en\")"
                                 : " (each with its encrypted copy in \"en\")";
        }
        text += ".";
    }
    if (report.emptyRows > 0) text += "\n" + emptyRowsText(report.emptyRows);
    if (report.cancelled) {
        text += "\nCancelled: " + plural(cancelled, "row was", "rows were") + " not processed.";
    }
    if (refused > 0) {
        text += "\n" + plural(refused, "row was", "rows were") +
                " refused: column A is not a MAC address:";
        listRows(text, report, DeviceOutcome::Refused,
                 reportWritten ? "more refused rows (see the report)" : "more refused rows");
    }
    if (failed > 0) {
        text += "\n" + plural(failed, "row failed:", "rows failed:");
        listRows(text, report, DeviceOutcome::Failed,
                 reportWritten ? "more failed rows (see the report)" : "more failed rows");
    }
    if (replaced > 0) {
        text += "\n" + plural(replaced, "row was", "rows were") +
                " replaced by a later row of the same MAC:";
        listRows(text, report, DeviceOutcome::Superseded, "more replaced rows");
    }
    if (const std::string empty = emptyValuesText(report); !empty.empty()) text += "\n" + empty;
    if (!report.columnFindings.empty()) {
        text += "\n" + plural(report.columnFindings.size(), "column is", "columns are") +
                " worth a look:";
        for (const support::Phrase& finding : report.columnFindings) {
            text += "\n- " + finding.english();
        }
    }
    if (report.mixedCase) text += "\n" + mixedCasePhrase(report).english();
    if (!report.checkSumsError.empty()) {
        text += "\nThe MD5SUMS list was not written: " + report.checkSumsError;
    }
    if (report.checkSumsLinesDropped > 0) text += "\n" + checkSumsDroppedText(report);
    if (!report.syncError.empty()) {
        text += "\nThe files may not have reached the disk: " + report.syncError;
    }
    return text;
}

}  // namespace velquor::generator
