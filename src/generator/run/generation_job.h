// The per-device generation job: one configuration file per device row of a sheet, made from
// one template, with an optional encrypted copy of each in the sub-folder "en". It knows no
// toolkit: the GUI runs it off its own thread, the CLI runs it directly; both show the outcome
// with generationSummaryText().
#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "generator/outputs/generation_request.h"
#include "generator/template/column_uses.h"
#include "mac/file_name.h"
#include "mac/mac_address.h"
#include "support/progress.h"
#include "support/result.h"

namespace velquor::generator {

enum class DeviceOutcome {
    Written,     // the plain file (and the encrypted copy, if asked for) is in place
    Superseded,  // not written: a later row of the same MAC writes its file
    Checked,     // dry run: the row would have been written
    Failed,      // nothing, or only the plain file, was written for this row: see reason
    Cancelled,   // not attempted: the run was stopped before this row
    Refused,     // not attempted: its column A is not a MAC address (see reason)
};

struct DeviceResult {
    int row = 0;      // the sheet row, 1-based (devices start at row 2; empty rows are no devices)
    std::string mac;  // column A as the sheet shows it
    std::string fileName;       // the device file's name ("001A2B3C4D5E.xml"), empty if none
    std::string plainFile;      // the path written (or that would be written), empty if none
    std::string encryptedFile;  // empty without encryption or when it was not written
    DeviceOutcome outcome = DeviceOutcome::Failed;
    // Why the row failed, or a note for a row that was fine (a duplicate MAC, empty values).
    std::string reason;
    // The reason as a marked pattern and its arguments, when the window can word it.
    support::Phrase reasonPhrase{};
    // The elements the row's file carries empty ("UserID", "Password", ...): written as asked,
    // but worth a warning. Empty for a row that failed before its values were applied.
    std::vector<std::string> emptyElements;
    // A replaced row whose values differ from those of the row used for its phone.
    bool valuesDiffer = false;

    void setReason(support::Phrase phrase) {
        reason = phrase.english();
        reasonPhrase = std::move(phrase);
    }
};

struct GenerationReport {
    std::vector<DeviceResult> devices;  // one per device row, in sheet order
    bool encrypted = false;
    bool dryRun = false;
    bool cancelled = false;
    // Only the MAC column was checked (checkDeviceSheet): nothing else was looked at.
    bool macCheckOnly = false;
    // The check with templates: why the run would be refused whole (a placeholder nothing
    // fills), what each column fills, and the columns worth a word before the run.
    std::string refusal;
    support::Phrase refusalPhrase;
    std::vector<ColumnUse> columns;
    std::vector<support::Phrase> columnFindings;
    // The files are named with letters in both cases: phones ask in one. The names with
    // letters in upper case and in lower case, counted then.
    bool mixedCase = false;
    std::size_t upperCaseNames = 0;
    std::size_t lowerCaseNames = 0;
    // Rows past the header that hold nothing: no devices, so not in devices either.
    std::size_t emptyRows = 0;
    // Set when the files were written but the final flush to disk failed.
    std::string syncError;
    // The same as the window words it (coreReason(syncError, syncErrorPhrase)).
    support::Phrase syncErrorPhrase;
    // Files of the phones written under another name that the run removed, and those left.
    std::size_t staleTwinsRemoved = 0;
    std::size_t staleTwinsLeft = 0;
    // Why the first one asked to be removed was not ("path: reason"), empty when all were.
    std::string staleTwinError;
    // Set when the files were written but their MD5SUMS list (check_sums.h) was not.
    std::string checkSumsError;
    support::Phrase checkSumsErrorPhrase;
    // Lines of the folders' MD5SUMS lists whose file was gone, dropped from them.
    std::size_t checkSumsLinesDropped = 0;

    std::size_t count(DeviceOutcome outcome) const;
    std::size_t filesWritten() const;  // plain and encrypted files left in place
    // Rows written (or checked) with some of the template's values empty.
    std::size_t withEmptyValues() const;
    // True when every device row ended as it should: written (or checked), nothing failed or
    // refused, nothing cancelled, the MD5SUMS lists written, and the batch reached the disk.
    bool allWritten() const;
    // The summary text names only the first few failed or replaced rows: the rest are counted.
    bool hasUnlistedRows() const;
};

// Runs the whole job. Progress counts devices (what = the row's MAC); the stop token is looked
// at while the sheet is read (a stop there is a Cancelled error) and between devices, so a
// Cancel never leaves a half-written file. An Error means nothing was
// written: the sheet or the template could not be read, or the output folder (or its "en"
// sub-folder) could not be created. Problems of single rows are in the report instead.
support::Result<GenerationReport> runGeneration(const GenerationRequest& request,
                                                support::ProgressSink& progress,
                                                std::stop_token stop = {});

// The check before a run, writing nothing: the sheet's MAC column (usable rows are Checked,
// with the file name they would write, the others Refused or Superseded, a replaced row whose
// values differ saying in which) and, when the request names a template, every template the
// run would use: a placeholder nothing fills refuses the run whole (refusal), a row whose
// template cannot be read is Failed, empty cells of the fields a row's template uses are noted
// on it (emptyElements), and the columns are mapped and looked at (columns, columnFindings).
// Errors are those of reading the inputs.
support::Result<GenerationReport> checkDeviceSheet(const GenerationRequest& request,
                                                   std::stop_token stop = {});

// The text shown to the user at the end of a run: "Success !" when every device was written,
// otherwise how many device rows were written and which rows failed and why (the first few rows
// in full, the rest counted, so that thousands of failures stay readable). reportWritten: a
// full report of the run was saved, so the text may point to it for the rows it leaves out.
std::string generationSummaryText(const GenerationReport& report, bool reportWritten = false);

// The one line that counts the rows skipped for holding nothing ("2 empty rows were skipped:
// ..."): part of the summary text, and worth a line of its own beside "Success !".
std::string emptyRowsText(std::size_t emptyRows);

// The warning about rows written with empty values ("1 row was written with empty values:" and
// the rows, the first five with their columns, the rest counted), or empty when there is none.
// Part of the summary text, and worth lines of their own beside "Success !".
std::string emptyValuesText(const GenerationReport& report);
// Its lines, one a row: "row 3: checked, with Password (E) empty" for the first five rows,
// then "... and 12 more rows".
std::vector<support::Phrase> emptyValuesFindings(const GenerationReport& report);

// "2 lines of MD5SUMS named files no longer there and were dropped.": part of the summary
// text, and worth a line of its own beside "Success !".
std::string checkSumsDroppedText(const GenerationReport& report);

// "The file names mix cases (118 with upper-case letters, 180 with lower-case ones), ...: set
// mac-form to lower or upper (...).": the check's finding of a report whose names do.
support::Phrase mixedCasePhrase(const GenerationReport& report);

// A readable name for an outcome, as used in the CSV report ("written", "failed", ...).
const char* outcomeName(DeviceOutcome outcome);

}  // namespace velquor::generator
