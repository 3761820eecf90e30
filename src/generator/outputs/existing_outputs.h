// What a generation run would find already in its output folder, looked at before the run so
// that the user can be asked once instead of learning afterwards that files were replaced.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "generator/outputs/check_sums.h"
#include "generator/outputs/generation_request.h"
#include "generator/outputs/stale_twins.h"
#include "support/result.h"

namespace velquor::generator {

struct ExistingOutputs {
    // Device files (plain, and encrypted copies when the run encrypts) that exist and that
    // the run would write over, each counted once however many rows name it.
    std::size_t replacedFiles = 0;
    // Encrypted copies in "en" of this run's devices, left by an earlier run, that a run
    // without encryption leaves in place: they no longer match the new plain files.
    std::size_t staleEncryptedCopies = 0;
    // The folder that holds those copies, for messages.
    std::string encryptedFolder;
    // Files in the folder or its "en" that belong to a phone of this run under another name
    // (stale_twins.h): left in place, a phone may fetch the old one.
    std::vector<std::string> staleTwins;
    // Where "en" leads when it is a link: files there are neither looked at nor removed.
    std::string encryptedFolderLink;

    // The MD5SUMS lists the run updates (in the folder, and in "en" when it encrypts): their
    // lines of other files are kept, those whose file is gone dropped. A list there is among
    // replacedFiles too.
    CheckSumsListLook checkSums;
    CheckSumsListLook encryptedCheckSums;

    bool any() const {
        return replacedFiles > 0 || staleEncryptedCopies > 0 || !staleTwins.empty();
    }
};

// Whether folder is missing or empty (its "en" would be in it): then it holds nothing a run
// would replace or leave behind.
bool holdsNothing(const std::filesystem::path& folder);

// "2 files of these phones are under another name, such as 0015650a33fb.xml"
std::string staleTwinsText(const std::vector<std::string>& twins);

// Reads the sheet of request (its rows only name the files; the template is not read) and
// looks up the files the run would write, named as it names them. Errors:
// those of reading the sheet (a stop request is a Cancelled error).
support::Result<ExistingOutputs> findExistingOutputs(const GenerationRequest& request,
                                                     std::stop_token stop = {});

// What happens to the MD5SUMS lists already there, when they hold lines of other files:
// "MD5SUMS keeps its 4 lines of other files, and 1 line whose file is gone is dropped; this
// run's lines are replaced." Empty when there is nothing to say.
support::Phrase checkSumsListPhrase(const ExistingOutputs& existing);

// "3 files will be replaced." and/or a sentence about the encrypted copies left behind;
// empty when there is nothing to say.
std::string existingOutputsText(const ExistingOutputs& existing);

}  // namespace velquor::generator
