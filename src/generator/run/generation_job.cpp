// The per-device generation job and its summary; see generation_job.h.
#include "generator/run/generation_job.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "crypto/aes.h"
#include "generator/devices/device_macs.h"
#include "generator/devices/device_table.h"
#include "generator/outputs/check_sums.h"
#include "generator/outputs/existing_outputs.h"
#include "generator/outputs/stale_twins.h"
#include "generator/run/device_writers.h"
#include "generator/run/row_notes.h"
#include "generator/template/config_template.h"
#include "generator/template/run_templates.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"
#include "support/translatable.h"
#include "support/wording.h"

namespace velquor::generator {

namespace fs = std::filesystem;
using support::ErrorCode;
using support::makeError;
using support::plural;

namespace {

// "row 3: ...", the head of a row's reason.
support::Phrase rowPrefix(int row) {
    return support::Phrase{VELQUOR_TR_NOOP("core", "row %1: %2"), {std::to_string(row)}};
}

}  // namespace

namespace {

support::Status ensureFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        //: %1 is the folder, %2 the system's reason
        support::Phrase phrase{VELQUOR_TR_NOOP("core", "cannot create the output folder %1: %2"),
                               {folder.string()}};
        if (error) {
            phrase.arguments.push_back(error.message());
            return makeError(ErrorCode::Io, std::move(phrase));
        }
        return makeError(
            ErrorCode::Io,
            support::withReason(std::move(phrase), VELQUOR_TR_NOOP("core", "not a folder")));
    }
    return {};
}

// The run's own template and sheet must never be replaced by a device file. A rename only
// replaces the folder entry it names, so the danger is a device file with the same name in
// the same folder; links to the inputs under other names are replaced, not written through.
class ProtectedInputs {
public:
    struct Input {
        std::optional<support::FileIdentity> folder;
        std::string name;
        std::string role;
    };

    void add(const std::string& path, std::string role) {
        const fs::path input(path);
        m_inputs.push_back(Input{
            support::identityOf(input.parent_path().empty() ? fs::path(".") : input.parent_path()),
            input.filename().string(), std::move(role)});
    }

    // The inputs that lie in folder, looked at once, so that a device costs a name
    // comparison, not a file lookup.
    std::vector<const Input*> inFolder(const fs::path& folder) const {
        std::vector<const Input*> found;
        const auto identity = support::identityOf(folder);
        for (const Input& input : m_inputs) {
            if (identity && input.folder == identity) found.push_back(&input);
        }
        return found;
    }

    // Which input a file of that name in a folder (as inFolder gave) would replace, if any.
    static std::string clash(const std::vector<const Input*>& inFolder,
                             const std::string& fileName) {
        for (const Input* input : inFolder) {
            if (input->name == fileName) return input->role;
        }
        return {};
    }

private:
    std::vector<Input> m_inputs;
};

class Generation {
public:
    Generation(const GenerationRequest& request, const DeviceTable& table, RunTemplates& templates)
        : m_request(request),
          m_table(table),
          m_templates(templates),
          m_folder(request.outputFolder),
          m_encryptedFolder(m_folder / "en") {
        m_inputs.add(request.templatePath, VELQUOR_TR_NOOP("core", "template"));
        m_inputs.add(request.sheetPath, VELQUOR_TR_NOOP("core", "device sheet"));
        m_inputsInFolder = m_inputs.inFolder(m_folder);
        if (request.encrypt) m_inputsInEncryptedFolder = m_inputs.inFolder(m_encryptedFolder);
        const std::string& key = request.keyText;
        m_aes.Init(static_cast<int>(std::min<std::size_t>(key.size(), INT_MAX)),
                   reinterpret_cast<const unsigned char*>(key.data()));
        if (!request.dryRun) {
            m_plainOutput.emplace(m_folder);
            if (request.encrypt) m_encryptedOutput.emplace(m_encryptedFolder);
            m_writers.emplace(*m_plainOutput, m_encryptedOutput ? &*m_encryptedOutput : nullptr,
                              m_aes);
        }
    }

    // written: the MAC in the run's form, which names the files. A row whose file is made is
    // handed to the writers as the run's index-th row, provisionally Written: settle() gives
    // it its outcome.
    DeviceResult run(const DeviceTable::Row& tableRow, const std::string& written,
                     std::size_t index) {
        DeviceResult result;
        result.row = tableRow.sheetRow;
        result.mac = std::string(macCell(tableRow));
        const std::string fileName = m_request.fileName.name(written);
        if (const std::string unfit = unfitAsDeviceFileName(written, fileName); !unfit.empty()) {
            return failed(std::move(result), support::withReason(rowPrefix(result.row), unfit));
        }
        auto chosen = m_templates.forRow(tableRow);
        if (!chosen) {
            return failed(std::move(result),
                          support::withCause(rowPrefix(result.row), chosen.error()));
        }
        ConfigTemplate& configTemplate = **chosen;
        const auto width = static_cast<std::size_t>(m_table.ColumnCount);
        if (auto applied =
                configTemplate.applyCells(tableRow.sheetRow, tableRow.cells, width, written);
            !applied) {
            return failed(std::move(result), applied.error());
        }
        result.emptyElements = configTemplate.emptyElementsFor(tableRow.cells);
        result.fileName = fileName;
        std::string clash = ProtectedInputs::clash(m_inputsInFolder, fileName);
        if (clash.empty()) clash = ProtectedInputs::clash(m_inputsInEncryptedFolder, fileName);
        if (!clash.empty()) {
            //: %1 is a row, %2 which input: the template or the device sheet
            return failed(std::move(result),
                          support::withReason(
                              support::Phrase{VELQUOR_TR_NOOP("core",
                                                              "row %1: its file would replace the "
                                                              "%2; it was left alone"),
                                              {std::to_string(tableRow.sheetRow)}},
                              clash));
        }

        auto text = configTemplate.serializeDocument();
        if (!text) {
            return failed(std::move(result),
                          support::withCause(rowPrefix(result.row), text.error()));
        }
        result.plainFile = m_folderPrefix + fileName;
        if (m_request.dryRun) {
            if (m_request.encrypt) result.encryptedFile = m_encryptedFolderPrefix + fileName;
            result.outcome = DeviceOutcome::Checked;
            return withEmptyValuesNoted(std::move(result));
        }
        result.outcome = DeviceOutcome::Written;
        m_writers->submit(DeviceFiles{index, std::move(*text), fileName});
        return result;
    }

    // Waits for the writers and gives each row handed to them its outcome; the digests of
    // the files written go on the MD5SUMS lists.
    void settle(std::vector<DeviceResult>& devices) {
        if (!m_writers) return;
        for (WrittenFiles& written : m_writers->finish()) {
            DeviceResult& result = devices[written.index];
            if (!written.plain) {
                result.plainFile.clear();
                result = failed(std::move(result),
                                support::withCause(rowPrefix(result.row), written.plain.error()));
                continue;
            }
            m_plainSums.addDigest(result.fileName, written.plainDigest);
            if (m_request.encrypt && !written.encrypted) {
                result.outcome = DeviceOutcome::Failed;
                result.setReason(support::withCause(
                    support::Phrase{
                        VELQUOR_TR_NOOP("core",
                                        "row %1: the plain file was written, but not its "
                                        "encrypted copy: %2"),
                        {std::to_string(result.row)}},
                    written.encrypted.error()));
                continue;
            }
            if (m_request.encrypt) {
                result.encryptedFile = m_encryptedFolderPrefix + result.fileName;
                m_encryptedSums.addDigest(result.fileName, written.encryptedDigest);
            }
            result = withEmptyValuesNoted(std::move(result));
        }
    }

    // The MD5SUMS of the files written, beside them and in "en"; a folder this run wrote
    // nothing into keeps what it had.
    // The lines dropped from the lists for files that are gone.
    support::Result<std::size_t> writeCheckSums() const {
        std::size_t dropped = 0;
        for (const auto& [sums, folder] : {std::pair{&m_plainSums, &m_folder},
                                           std::pair{&m_encryptedSums, &m_encryptedFolder}}) {
            if (sums->empty()) continue;
            auto written = sums->writeInto(*folder);
            if (!written) return written.error();
            dropped += *written;
        }
        return dropped;
    }

private:
    static DeviceResult withEmptyValuesNoted(DeviceResult result) {
        if (hasEmptyValues(result)) result.setReason(emptyValuesNote(result));
        return result;
    }

    static DeviceResult failed(DeviceResult result, support::Phrase reason) {
        result.outcome = DeviceOutcome::Failed;
        result.setReason(std::move(reason));
        return result;
    }

    // A row's error from the template: it names its row itself.
    static DeviceResult failed(DeviceResult result, const support::Error& error) {
        if (error.phrase.empty()) {
            result.outcome = DeviceOutcome::Failed;
            result.reason = error.message;
            result.reasonPhrase = {};
            return result;
        }
        return failed(std::move(result), error.phrase);
    }

    const GenerationRequest& m_request;
    const DeviceTable& m_table;
    RunTemplates& m_templates;
    fs::path m_folder;
    fs::path m_encryptedFolder;
    // The folders with their separator, which a file's name completes into its path.
    std::string m_folderPrefix = (m_folder / "").string();
    std::string m_encryptedFolderPrefix = (m_encryptedFolder / "").string();
    ProtectedInputs m_inputs;
    // The inputs in the output folders, which no device file may replace.
    std::vector<const ProtectedInputs::Input*> m_inputsInFolder;
    std::vector<const ProtectedInputs::Input*> m_inputsInEncryptedFolder;
    crypto::CAes m_aes;
    // None for a dry run; the folders first, since the writers write into them.
    std::optional<support::OutputFolder> m_plainOutput;
    std::optional<support::OutputFolder> m_encryptedOutput;
    std::optional<DeviceWriters> m_writers;
    CheckSums m_plainSums;
    CheckSums m_encryptedSums;
};

// A usable row seen through its template: a template that cannot be read fails it, empty
// cells of the fields it uses are noted.
void checkFields(RunTemplates& templates, const DeviceTable::Row& row, DeviceResult& result) {
    auto chosen = templates.forRow(row);
    if (!chosen) {
        result.outcome = DeviceOutcome::Failed;
        result.setReason(support::withCause(rowPrefix(result.row), chosen.error()));
        return;
    }
    result.emptyElements = (*chosen)->emptyElementsFor(row.cells);
    if (hasEmptyValues(result)) result.setReason(emptyValuesNote(result));
}

// What the check found for one device row, as its result; nothing is written for it.
DeviceResult uncheckedRow(const DeviceMacs& macs, std::size_t index, const SheetFields& fields) {
    const mac::CellVerdict& verdict = macs.check.cells[index];
    DeviceResult result;
    result.row = macs.sheetRow(index);
    result.mac = std::string(macCell(*macs.rows[index]));
    const support::Phrase row = rowPrefix(result.row);
    if (verdict.verdict == mac::Verdict::Refused) {
        result.outcome = DeviceOutcome::Refused;
        const support::Phrase why =
            verdict.refusal.kind == mac::RefusalKind::Empty
                ? support::Phrase{VELQUOR_TR_NOOP("core", "the MAC cell (column A) is empty")}
            : macs.rows[index]->macIsNumber
                ? mac::refusalPhrase(mac::storedAsNumber(verdict.refusal, result.mac))
                : mac::refusalPhrase(verdict.refusal);
        result.setReason(support::withReason(row, why.english(), why));
        return result;
    }
    result.outcome = DeviceOutcome::Superseded;  // its file is the later row's
    const std::string used = std::to_string(macs.sheetRow(verdict.other));
    const std::vector<std::string> differing =
        differingColumns(*macs.rows[index], *macs.rows[verdict.other], fields);
    if (differing.empty()) {
        result.setReason(support::Phrase{VELQUOR_TR_NOOP("core", "row %1: replaced by row %2"),
                                         {std::to_string(result.row), used}});
        return result;
    }
    std::string names;
    for (const std::string& name : differing) names += (names.empty() ? "" : ", ") + name;
    result.valuesDiffer = true;
    //: %1 and %2 are rows of one phone, %3 the columns they differ in (UserID, Password)
    result.setReason(
        support::Phrase{VELQUOR_TR_NOOP("core", "rows %1 and %2 differ in %3; row %2 is used"),
                        {std::to_string(result.row), used, names}});
    return result;
}

// A row whose file is named otherwise than its cell reads says so.
void noteRewrittenName(DeviceResult& result, const mac::CellVerdict& verdict) {
    if (!verdict.rewritten || result.fileName.empty() ||
        (result.outcome != DeviceOutcome::Written && result.outcome != DeviceOutcome::Checked)) {
        return;
    }
    const support::Phrase note = mac::writtenAsPhrase(verdict.written);
    if (result.reason.empty()) {
        result.setReason(support::withReason(rowPrefix(result.row), note.english(), note));
        return;
    }
    //: a row's reason, then a note on it
    support::Phrase longer{VELQUOR_TR_NOOP("core", "%1 (%2)")};
    longer = support::withReason(std::move(longer), result.reason, result.reasonPhrase);
    result.setReason(support::withReason(std::move(longer), note.english(), note));
}

GenerationReport reportFor(const GenerationRequest& request, const DeviceTable& table,
                           const DeviceMacs& macs) {
    GenerationReport report;
    report.encrypted = request.encrypt;
    report.dryRun = request.dryRun;
    report.emptyRows = table.emptyDeviceRows();
    report.mixedCase = macs.check.mixedCase;
    for (std::size_t i = 0; report.mixedCase && i < macs.check.cells.size(); ++i) {
        const mac::CellVerdict& cell = macs.check.cells[i];
        if (cell.verdict != mac::Verdict::Usable) continue;
        const auto has = [&cell](char from, char to) {
            return std::any_of(cell.written.begin(), cell.written.end(),
                               [from, to](char c) { return c >= from && c <= to; });
        };
        report.upperCaseNames += has('A', 'F') ? 1 : 0;
        report.lowerCaseNames += has('a', 'f') ? 1 : 0;
    }
    report.devices.reserve(macs.rows.size());
    return report;
}

// Whether the output folder holds files of the run's phones under another name before
// anything is written. The run writes only its own names, so a folder that holds none then
// holds none after it, and the search after the run (a listing of every file the run made) is
// spared.
bool holdsStaleTwins(const GenerationRequest& request, const DeviceTable& table,
                     const DeviceMacs& macs) {
    if (request.dryRun || holdsNothing(request.outputFolder)) return false;
    return !findStaleTwins(request, table, runFileNames(macs)).empty();
}

// The phones whose files this run wrote, under another name too: removed when asked, once
// their new files are on disk, else counted. A file that cannot be removed stays counted.
void settleStaleTwins(const GenerationRequest& request, const DeviceTable& table,
                      const DeviceMacs& macs, GenerationReport& report) {
    std::set<std::string> files;
    for (const DeviceResult& device : report.devices) {
        if (device.outcome == DeviceOutcome::Written) files.insert(device.fileName);
    }
    PhoneFileNames written = runFileNames(macs);
    std::erase_if(written, [&files](const auto& phone) { return !files.contains(phone.second); });
    const bool remove = request.removeStaleTwins && report.syncError.empty();
    for (const std::string& twin : findStaleTwins(request, table, written)) {
        const std::error_code error =
            remove ? removeStaleTwin(request.outputFolder, twin) : std::error_code();
        if (remove && !error) {
            ++report.staleTwinsRemoved;
            continue;
        }
        ++report.staleTwinsLeft;
        if (error && report.staleTwinError.empty()) {
            report.staleTwinError = twin + ": " + error.message();
        }
    }
}

support::Status prepareFolders(const GenerationRequest& request) {
    const fs::path folder(request.outputFolder);
    if (request.dryRun) {
        std::error_code error;
        if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
            return makeError(
                ErrorCode::InvalidInput,
                support::Phrase{VELQUOR_TR_NOOP("core", "the output folder %1 is not a folder"),
                                {folder.string()}});
        }
        return {};
    }
    if (auto made = ensureFolder(folder); !made) return made;
    if (request.encrypt) return ensureFolder(folder / "en");
    return {};
}

}  // namespace

support::Result<GenerationReport> runGeneration(const GenerationRequest& request,
                                                support::ProgressSink& progress,
                                                std::stop_token stop) {
    if (request.outputFolder.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         VELQUOR_TR_NOOP("core", "no output folder chosen"));
    }
    auto table = readDeviceTable(request.sheetPath, stop);
    if (!table) return table.error();
    const SheetFields fields(table->headerCells(), table->ColumnCount);
    auto templates = RunTemplates::load(request.templatePath, *table, fields);
    if (!templates) return templates.error();
    if (auto refused = templates->refuseMissingPlaceholders(); !refused) return refused.error();
    if (auto folders = prepareFolders(request); !folders) return folders.error();

    const DeviceMacs macs = checkDeviceMacs(*table, request.macForm, request.fileName);
    GenerationReport report = reportFor(request, *table, macs);
    if (request.beforeWriting) request.beforeWriting(report);
    const bool staleTwinsBefore = holdsStaleTwins(request, *table, macs);
    const auto deviceCount = static_cast<std::uint64_t>(macs.rows.size());
    Generation generation(request, *table, *templates);
    progress.progress(0, deviceCount, "");
    for (std::size_t i = 0; i < macs.rows.size(); ++i) {
        const mac::CellVerdict& verdict = macs.check.cells[i];
        if (verdict.verdict != mac::Verdict::Usable) {
            report.devices.push_back(uncheckedRow(macs, i, fields));
        } else if (stop.stop_requested()) {
            report.cancelled = true;
            DeviceResult skipped;
            skipped.row = macs.sheetRow(i);
            skipped.mac = std::string(macCell(*macs.rows[i]));
            skipped.outcome = DeviceOutcome::Cancelled;
            skipped.setReason(
                support::Phrase{VELQUOR_TR_NOOP("core", "not written: the run was cancelled"), {}});
            report.devices.push_back(std::move(skipped));
        } else {
            report.devices.push_back(generation.run(*macs.rows[i], verdict.written, i));
        }
        progress.progress(report.devices.size(), deviceCount, report.devices.back().mac);
    }
    generation.settle(report.devices);
    for (std::size_t i = 0; i < report.devices.size(); ++i) {
        noteRewrittenName(report.devices[i], macs.check.cells[i]);
    }
    if (!request.dryRun && report.filesWritten() > 0) {
        if (auto sums = generation.writeCheckSums(); !sums) {
            report.checkSumsError = sums.error().message;
            report.checkSumsErrorPhrase = sums.error().phrase;
        } else {
            report.checkSumsLinesDropped = *sums;
        }
        if (auto synced = support::syncFileSystemOf(request.outputFolder); !synced) {
            report.syncError = synced.error().message;
            report.syncErrorPhrase = synced.error().phrase;
        }
        if (staleTwinsBefore) settleStaleTwins(request, *table, macs, report);
    }
    return report;
}

support::Result<GenerationReport> checkDeviceSheet(const GenerationRequest& request,
                                                   std::stop_token stop) {
    auto table = readDeviceTable(request.sheetPath, stop);
    if (!table) return table.error();
    const DeviceMacs macs = checkDeviceMacs(*table, request.macForm, request.fileName);
    const SheetFields fields(table->headerCells(), table->ColumnCount);
    GenerationReport report = reportFor(request, *table, macs);
    report.dryRun = true;
    report.macCheckOnly = true;
    // With a template, each usable row is also looked at through its template's fields.
    std::optional<RunTemplates> templates;
    if (!request.templatePath.empty()) {
        auto loaded = RunTemplates::load(request.templatePath, *table, fields);
        if (!loaded) return loaded.error();
        if (auto refused = loaded->refuseMissingPlaceholders(); !refused) {
            report.refusal = refused.error().message;
            report.refusalPhrase = refused.error().phrase;
        }
        templates = std::move(*loaded);
    }
    FilledColumns used;
    for (std::size_t i = 0; i < macs.rows.size(); ++i) {
        const mac::CellVerdict& verdict = macs.check.cells[i];
        if (verdict.verdict != mac::Verdict::Usable) {
            report.devices.push_back(uncheckedRow(macs, i, fields));
            continue;
        }
        DeviceResult result;
        result.row = macs.sheetRow(i);
        result.mac = std::string(macCell(*macs.rows[i]));
        result.fileName = macs.fileName(i);
        result.outcome = DeviceOutcome::Checked;
        if (templates) {
            checkFields(*templates, *macs.rows[i], result);
            std::vector<bool>& filled = used[templates->indexFor(*macs.rows[i])];
            const auto cells = macs.rows[i]->cells;
            filled.resize(std::max(filled.size(), cells.size()));
            for (std::size_t cell = 0; cell < cells.size(); ++cell) {
                if (!cells[cell].empty()) filled[cell] = true;
            }
        }
        noteRewrittenName(result, verdict);
        report.devices.push_back(std::move(result));
    }
    if (templates) {
        report.columns = columnUses(table->headerCells(), fields, *templates, std::move(used));
        report.columnFindings = columnFindings(report.columns, fields);
    }
    return report;
}

}  // namespace velquor::generator
