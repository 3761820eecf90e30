// What a generation run is asked to do: its inputs, its output folder and how it names and
// encrypts the files. The run (run/generation_job.h) takes it, and so do the looks at the
// output folder before and after it (existing_outputs.h, stale_twins.h).
#pragma once

#include <functional>
#include <string>

#include "mac/file_name.h"
#include "mac/mac_address.h"

namespace velquor::generator {

struct GenerationReport;

struct GenerationRequest {
    std::string templatePath;
    std::string sheetPath;
    std::string outputFolder;
    bool encrypt = false;
    // The key text handed to the encryption of every copy; read only when encrypt is set.
    std::string keyText;
    // Checks the sheet, the template and every row, but writes nothing.
    bool dryRun = false;
    // How the MAC names the device's files.
    mac::Form macForm = mac::kDefaultForm;
    // What the device files (and their copies in "en") are named.
    mac::FileNamePattern fileName;
    // Files of this run's phones under another name (existing_outputs.h): removed once the
    // run's own files are in place, or kept.
    bool removeStaleTwins = false;
    // Told once the sheet's MAC column is checked, before the first file is written, with the
    // report so far (no device rows in it yet; mixedCase and its counts are): a caller says
    // there what the run is about to do.
    std::function<void(const GenerationReport&)> beforeWriting;
};

}  // namespace velquor::generator
