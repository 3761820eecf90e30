// The encrypted configuration file: EncryptConfigFile and DecryptConfigFile, whole-file
// passes that turn a device configuration into raw AES-128 blocks (each block on its own,
// the last one completed with zero bytes) and back.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "support/atomic_file.h"
#include "support/progress.h"
#include "support/reporter.h"
#include "support/result.h"

namespace velquor::crypto {

// Why a run may not be what its user meant, known from the start of the data before any byte is
// written: a decryption gave noise (the key may be wrong), or the input of an encryption is no
// text and a whole number of blocks (it may be encrypted already).
enum class Doubt { WrongKey, EncryptedAlready };

// The user's word on a doubt: true writes the output anyway.
using DoubtQuestion = std::function<bool(Doubt)>;

// What the doubt says, naming inputPath for an encryption's input: "the result does not look
// like a configuration file: the key may be wrong", "IN does not look like a configuration
// file: it may be encrypted already".
std::string doubtText(Doubt doubt, std::string_view inputPath);

struct ConfigFileOptions {
    support::Durability durability = support::Durability::Sync;  // Deferred for bulk runs
    support::ProgressSink* progress = nullptr;                   // bytes done / total, may be null
    std::stop_token stop;  // checked between chunks; Cancelled error
    // "-" names standard input (as the input) and standard output (as the output), as on a
    // command line; elsewhere "-" is a file name like any other.
    bool dashIsStandardStream = false;
    // When set, receives the first bytes written (up to kTextSampleBytes), so that a caller
    // can tell with looksLikeText() whether a decryption gave text or the noise of a wrong key.
    std::string* outputStart = nullptr;
    // Asked once, before the first byte reaches the output, when the run is doubtful (see
    // Doubt). A false answer ends the run with Error{Refused, doubtText(...)}, unreported, and
    // leaves the output as it was (a stream gets nothing). Unset: everything is written, as for
    // the encrypted copies of a generation run, whose input is the text just written.
    DoubtQuestion whenDoubtful;
};

// Returns ok only when the whole output was written and renamed into place. An output that
// is (or whose link leads to) a character device, FIFO or socket is written straight through.
// Problems are reported through reporter with the product's own texts ("file open error" / "file
// open error !", caption "error") and are also returned as an Error with a detailed message (path +
// reason). Problems that have no text of their own (output is the input, a read or write failing
// midway) are reported once with the detailed message, caption "error". Cancellation is not
// reported: it returns Error{Cancelled, ...} and leaves the target as it was.
// An empty inputPath does nothing: no report, returns Error{InvalidInput, "no input file chosen"}.
// Decryption refuses an input whose size is not a multiple of 16, which this format never
// has: InvalidInput, reported with the detailed message, and nothing is written (a stream
// whose size shows only at its end fails there, and the output file is left as it was).
support::Status EncryptConfigFile(const std::string& inputPath, const std::string& outputPath,
                                  const std::string& keyText, support::Reporter& reporter,
                                  const ConfigFileOptions& options = {});
support::Status DecryptConfigFile(const std::string& inputPath, const std::string& outputPath,
                                  const std::string& keyText, support::Reporter& reporter,
                                  const ConfigFileOptions& options = {});

}  // namespace velquor::crypto
