// A phone's verdict, and what the phone's-eye check knows of the files Generate wrote for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/translatable.h"

namespace velquor::phonecheck {

// In the order a phone meets them: the verdict is the first that applies.
enum class Verdict {
    Ready,
    RowRefused,  // the sheet's row holds no MAC address: no phone of it is known
    NotGenerated,
    NotChecked,  // no registration known (not logged in): nothing to fetch from
    NotRegistered,
    AnotherAccount,
    NotAUrl,
    Unreachable,
    NotFound,
    HttpError,  // any other answer than the file
    Differs,
    NotEncrypted,
    DoesNotDecrypt,
    // What the phone server's fetch log saw the phone itself meet, over "ready" and over
    // "not checked": its last request asked for a name that is not there, or was refused.
    AskedNotFound,
    AskedRefused,
};

// "ready", "not generated", ...: one word or two for each verdict.
std::string_view verdictName(Verdict verdict);

// A verdict in words: why, and what to do about it (empty when ready).
struct Finding {
    Verdict verdict = Verdict::NotGenerated;
    support::Phrase reason;
    support::Phrase action;
};

// A phone's files as Generate left them in the output folder.
struct GeneratedFiles {
    std::optional<std::string> plain;
    std::optional<std::string> encrypted;  // the en/ copy
    bool encryptedRun = false;             // the folder has en/: the phones get the en/ copies

    bool generated() const { return plain && (!encryptedRun || encrypted); }
};

}  // namespace velquor::phonecheck
