// The per-device generation job and its summary; see generation_job.h.
#include "generator/generation_job.h"

#include <filesystem>
#include <map>
#include <optional>
#include <system_error>

#include "crypto/config_file.h"
#include "generator/config_template.h"
#include "generator/device_table.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"
#include "support/reporter.h"

namespace velquor::generator {

namespace fs = std::filesystem;
using support::ErrorCode;
using support::makeError;

std::size_t GenerationReport::count(DeviceOutcome outcome) const {
    std::size_t n = 0;
    for (const DeviceResult& device : devices) n += device.outcome == outcome ? 1 : 0;
    return n;
}

std::size_t GenerationReport::filesWritten() const {
    std::size_t n = 0;
    for (const DeviceResult& device : devices) {
        // A replaced row's files were overwritten by a later row: count each file once.
        if (device.outcome == DeviceOutcome::Checked || device.outcome == DeviceOutcome::Superseded) {
            continue;
        }
        n += device.plainFile.empty() ? 0 : 1;
        n += device.encryptedFile.empty() ? 0 : 1;
    }
    return n;
}

bool GenerationReport::allWritten() const {
    return !cancelled && syncError.empty() && count(DeviceOutcome::Failed) == 0 &&
           count(DeviceOutcome::Cancelled) == 0;
}

const char* outcomeName(DeviceOutcome outcome) {
    switch (outcome) {
        case DeviceOutcome::Written: return "written";
        case DeviceOutcome::Superseded: return "replaced";
        case DeviceOutcome::Checked: return "checked";
        case DeviceOutcome::Failed: return "failed";
        case DeviceOutcome::Cancelled: return "cancelled";
    }
    return "unknown";
}

namespace {

support::Status ensureFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        return makeError(ErrorCode::Io, "cannot create the output folder " + folder.string() +
                                            ": " + (error ? error.message() : "not a folder"));
    }
    return {};
}

// A file the run must never overwrite: its own template and sheet.
struct ProtectedInputs {
    std::optional<support::FileIdentity> templateFile;
    std::optional<support::FileIdentity> sheetFile;

    std::string clash(const fs::path& target) const {
        const auto identity = support::identityOf(target);
        if (!identity) return {};
        if (identity == templateFile) return "its file " + target.string() + " is the template";
        if (identity == sheetFile) return "its file " + target.string() + " is the device sheet";
        return {};
    }
};

class Generation {
public:
    Generation(const GenerationRequest& request, const DeviceTable& table,
               ConfigTemplate& configTemplate)
        : m_request(request), m_table(table), m_template(configTemplate),
          m_folder(request.outputFolder), m_encryptedFolder(m_folder / "en") {
        m_inputs.templateFile = support::identityOf(request.templatePath);
        m_inputs.sheetFile = support::identityOf(request.sheetPath);
    }

    DeviceResult run(int sheetRow) {
        const DeviceRow row = m_table.deviceRow(sheetRow);
        DeviceResult result;
        result.row = sheetRow;
        result.mac = row.cells.empty() ? std::string() : row.cells.front();
        const std::string prefix = "row " + std::to_string(sheetRow) + ": ";
        if (const std::string unfit = unfitAsDeviceFileName(result.mac); !unfit.empty()) {
            return failed(std::move(result), prefix + unfit);
        }
        if (auto applied = m_template.ApplyDeviceRow(row); !applied) {
            return failed(std::move(result), applied.error().message);
        }
        const fs::path plain = m_folder / (result.mac + ".xml");
        const fs::path encrypted = m_encryptedFolder / (result.mac + ".xml");
        for (const fs::path& target : {plain, encrypted}) {
            if (target == encrypted && !m_request.encrypt) continue;
            if (const std::string clash = m_inputs.clash(target); !clash.empty()) {
                return failed(std::move(result), prefix + clash + "; it was left alone");
            }
        }
        if (m_request.dryRun) return checked(std::move(result), plain, encrypted);

        if (auto saved = m_template.SaveDeviceFile(plain, support::Durability::Deferred); !saved) {
            return failed(std::move(result), prefix + saved.error().message);
        }
        result.plainFile = plain.string();
        result.outcome = DeviceOutcome::Written;
        if (m_request.encrypt) encrypt(result, prefix, encrypted);
        return result;
    }

private:
    static DeviceResult failed(DeviceResult result, std::string reason) {
        result.outcome = DeviceOutcome::Failed;
        result.reason = std::move(reason);
        return result;
    }

    DeviceResult checked(DeviceResult result, const fs::path& plain, const fs::path& encrypted) {
        // Serialising catches what only saving would show, without touching the disk.
        if (auto text = m_template.SerializeDocument(); !text) {
            return failed(std::move(result), "row " + std::to_string(result.row) + ": " +
                                                 text.error().message);
        }
        result.plainFile = plain.string();
        if (m_request.encrypt) result.encryptedFile = encrypted.string();
        result.outcome = DeviceOutcome::Checked;
        return result;
    }

    void encrypt(DeviceResult& result, const std::string& prefix, const fs::path& encrypted) {
        // The job reports per device; the product's message boxes for each failed copy
        // would bury the user, so they are recorded and dropped.
        support::RecordingReporter quiet;
        crypto::ConfigFileOptions options;
        options.durability = support::Durability::Deferred;
        auto status = crypto::EncryptConfigFile(result.plainFile, encrypted.string(),
                                                m_request.keyText, quiet, options);
        if (status) {
            result.encryptedFile = encrypted.string();
            return;
        }
        result.outcome = DeviceOutcome::Failed;
        result.reason = prefix + "the plain file was written, but not its encrypted copy: " +
                        status.error().message;
    }

    const GenerationRequest& m_request;
    const DeviceTable& m_table;
    ConfigTemplate& m_template;
    fs::path m_folder;
    fs::path m_encryptedFolder;
    ProtectedInputs m_inputs;
};

// A later row with the same MAC writes the same file: say so on both rows.
void markDuplicates(GenerationReport& report) {
    std::map<std::string, std::size_t> lastWriter;
    for (std::size_t i = 0; i < report.devices.size(); ++i) {
        DeviceResult& device = report.devices[i];
        if (device.plainFile.empty() || device.outcome == DeviceOutcome::Cancelled) continue;
        auto [earlier, first] = lastWriter.try_emplace(device.mac, i);
        if (first) continue;
        DeviceResult& replaced = report.devices[earlier->second];
        if (replaced.outcome == DeviceOutcome::Written || replaced.outcome == DeviceOutcome::Checked) {
            replaced.outcome = DeviceOutcome::Superseded;
        }
        const std::string note = "row " + std::to_string(device.row) + ": the same MAC as row " +
                                 std::to_string(replaced.row) + "; this row's values were kept";
        device.reason = device.reason.empty() ? note : device.reason + " (" + note + ")";
        if (replaced.reason.empty() || replaced.outcome == DeviceOutcome::Superseded) {
            replaced.reason = "row " + std::to_string(replaced.row) + ": replaced by row " +
                              std::to_string(device.row) + ", which has the same MAC " +
                              device.mac;
        }
        earlier->second = i;
    }
}

support::Status prepareFolders(const GenerationRequest& request) {
    const fs::path folder(request.outputFolder);
    if (request.dryRun) {
        std::error_code error;
        if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
            return makeError(ErrorCode::InvalidInput,
                             "the output folder " + folder.string() + " is not a folder");
        }
        return {};
    }
    if (auto made = ensureFolder(folder); !made) return made;
    if (request.encrypt) return ensureFolder(folder / "en");
    return {};
}

}  // namespace

support::Result<GenerationReport> RunGeneration(const GenerationRequest& request,
                                                support::ProgressSink& progress,
                                                std::stop_token stop) {
    if (request.outputFolder.empty()) {
        return makeError(ErrorCode::InvalidInput, "no output folder chosen");
    }
    auto table = ReadDeviceTable(request.sheetPath);
    if (!table) return table.error();
    auto configTemplate = ConfigTemplate::LoadTemplate(request.templatePath);
    if (!configTemplate) return configTemplate.error();
    if (auto folders = prepareFolders(request); !folders) return folders.error();

    GenerationReport report;
    report.encrypted = request.encrypt;
    report.dryRun = request.dryRun;
    const int deviceCount = std::max(0, table->RowCount - 1);
    report.devices.reserve(static_cast<std::size_t>(deviceCount));
    Generation generation(request, *table, *configTemplate);
    progress.progress(0, static_cast<std::uint64_t>(deviceCount), "");
    for (int sheetRow = 2; sheetRow <= table->RowCount; ++sheetRow) {
        if (stop.stop_requested()) {
            report.cancelled = true;
            DeviceResult skipped;
            skipped.row = sheetRow;
            skipped.mac = table->rows[static_cast<std::size_t>(sheetRow - 1)].empty()
                              ? std::string()
                              : table->rows[static_cast<std::size_t>(sheetRow - 1)].front();
            skipped.outcome = DeviceOutcome::Cancelled;
            skipped.reason = "not written: the run was cancelled";
            report.devices.push_back(std::move(skipped));
            continue;
        }
        report.devices.push_back(generation.run(sheetRow));
        progress.progress(static_cast<std::uint64_t>(sheetRow - 1),
                          static_cast<std::uint64_t>(deviceCount), report.devices.back().mac);
    }
    markDuplicates(report);
    if (!request.dryRun && report.filesWritten() > 0) {
        if (auto synced = support::syncFileSystemOf(request.outputFolder); !synced) {
            report.syncError = synced.error().message;
        }
    }
    return report;
}

namespace {

// Enough rows for the user to see the pattern; the rest are counted.
constexpr std::size_t kListedRows = 8;

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void listRows(std::string& text, const GenerationReport& report, DeviceOutcome outcome,
              const char* restLabel) {
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
    if (total > listed) text += "\n... and " + plural(total - listed, restLabel, restLabel);
}

}  // namespace

std::string GenerationSummaryText(const GenerationReport& report) {
    const std::size_t failed = report.count(DeviceOutcome::Failed);
    const std::size_t replaced = report.count(DeviceOutcome::Superseded);
    const std::size_t cancelled = report.count(DeviceOutcome::Cancelled);
    const std::size_t devices = report.devices.size();
    if (report.allWritten() && replaced == 0 && !report.dryRun) return "Success !";

    std::string text;
    if (report.dryRun) {
        text = "Dry run: " + std::to_string(report.count(DeviceOutcome::Checked) + replaced) +
               " of " + plural(devices, "device row", "device rows") +
               " can be written; nothing was written.";
    } else {
        text = plural(report.filesWritten(), "file", "files") + " written for " +
               plural(devices, "device row", "device rows");
        if (report.encrypted) text += " (plain files and their encrypted copies in \"en\")";
        text += ".";
    }
    if (report.cancelled) {
        text += "\nCancelled: " + plural(cancelled, "row was", "rows were") + " not processed.";
    }
    if (failed > 0) {
        text += "\n" + plural(failed, "row failed:", "rows failed:");
        listRows(text, report, DeviceOutcome::Failed, "more failed rows (see the report)");
    }
    if (replaced > 0) {
        text += "\n" + plural(replaced, "row was", "rows were") +
                " replaced by a later row with the same MAC:";
        listRows(text, report, DeviceOutcome::Superseded, "more replaced rows");
    }
    if (!report.syncError.empty()) {
        text += "\nThe files may not have reached the disk: " + report.syncError;
    }
    return text;
}

}  // namespace velquor::generator
