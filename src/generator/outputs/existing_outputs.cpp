// Looking at the output folder before a generation run; see existing_outputs.h.
#include "generator/outputs/existing_outputs.h"

#include <sys/stat.h>

#include <filesystem>

#include "generator/devices/device_macs.h"
#include "generator/devices/device_table.h"
#include "support/translatable.h"
#include "support/wording.h"

namespace velquor::generator {

namespace {

// Anything at the name counts: a link or a folder there would be replaced or make the row fail,
// and either way the user wants to know before the run.
bool existsAt(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

bool holdsNothing(const std::filesystem::path& folder) {
    std::error_code error;
    const std::filesystem::directory_iterator listing(folder, error);
    return error || listing == std::filesystem::directory_iterator();
}

std::string staleTwinsText(const std::vector<std::string>& twins) {
    if (twins.empty()) return {};
    const std::string example = std::filesystem::path(twins.front()).filename().string();
    return support::plural(twins.size(), "file of these phones is", "files of these phones are") +
           " under another name, such as " + example;
}

support::Result<ExistingOutputs> findExistingOutputs(const GenerationRequest& request,
                                                     std::stop_token stop) {
    auto table = readDeviceTable(request.sheetPath, stop);
    if (!table) return table.error();
    const std::filesystem::path folder(request.outputFolder);
    const std::filesystem::path encryptedFolder = folder / "en";
    ExistingOutputs existing;
    existing.encryptedFolder = encryptedFolder.string();
    const DeviceMacs macs = checkDeviceMacs(*table, request.macForm, request.fileName);
    // A first run into a new folder spares two look-ups a row.
    if (holdsNothing(folder)) return existing;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < macs.rows.size(); ++i) {
        if (macs.check.cells[i].verdict == mac::Verdict::Usable) names.push_back(macs.fileName(i));
    }
    existing.checkSums = lookAtCheckSums(folder, names);
    if (request.encrypt) existing.encryptedCheckSums = lookAtCheckSums(encryptedFolder, names);
    existing.replacedFiles +=
        (existing.checkSums.exists ? 1 : 0) + (existing.encryptedCheckSums.exists ? 1 : 0);
    existing.staleTwins = findStaleTwins(request, *table, runFileNames(macs));
    existing.encryptedFolderLink = linkedEncryptedFolder(folder);
    for (std::size_t i = 0; i < macs.rows.size(); ++i) {
        // A replaced row writes nothing: the later row of its MAC names the file.
        if (macs.check.cells[i].verdict != mac::Verdict::Usable) continue;
        const std::string fileName = macs.fileName(i);
        if (!unfitAsDeviceFileName(macs.check.cells[i].written, fileName).empty()) continue;
        existing.replacedFiles += existsAt(folder / fileName) ? 1 : 0;
        const bool encryptedCopy = existsAt(encryptedFolder / fileName);
        if (request.encrypt) {
            existing.replacedFiles += encryptedCopy ? 1 : 0;
        } else {
            existing.staleEncryptedCopies += encryptedCopy ? 1 : 0;
        }
    }
    return existing;
}

support::Phrase checkSumsListPhrase(const ExistingOutputs& existing) {
    const std::size_t kept = existing.checkSums.kept + existing.encryptedCheckSums.kept;
    const std::size_t dropped = existing.checkSums.dropped + existing.encryptedCheckSums.dropped;
    if (kept == 0 && dropped == 0) return {};
    //: %1 how many lines of other files an MD5SUMS list keeps, %2 how many whose file is gone
    return support::Phrase{VELQUOR_TR_NOOP("core",
                                           "MD5SUMS keeps its lines of other files (%1) and "
                                           "drops those whose file is gone (%2); this run's "
                                           "lines are replaced."),
                           {std::to_string(kept), std::to_string(dropped)}};
}

std::string existingOutputsText(const ExistingOutputs& existing) {
    std::string text = staleTwinsText(existing.staleTwins);
    if (!text.empty()) text += ".";
    if (!text.empty() && !existing.encryptedFolderLink.empty()) {
        text += " " + existing.encryptedFolder + " is a link to " + existing.encryptedFolderLink +
                ": the files there are neither looked at nor removed.";
    }
    if (existing.replacedFiles > 0) {
        if (!text.empty()) text += ' ';
        text += support::plural(existing.replacedFiles, "file", "files") + " will be replaced.";
    }
    if (const support::Phrase list = checkSumsListPhrase(existing); !list.empty()) {
        if (!text.empty()) text += ' ';
        text += list.english();
    }
    if (existing.staleEncryptedCopies > 0) {
        if (!text.empty()) text += ' ';
        const bool one = existing.staleEncryptedCopies == 1;
        text +=
            support::plural(existing.staleEncryptedCopies, "encrypted copy", "encrypted copies") +
            " in " + existing.encryptedFolder + " from an earlier run " +
            (one ? "stays as it is" : "stay as they are") +
            " and will not match the new files (no key is used this time).";
    }
    return text;
}

}  // namespace velquor::generator
