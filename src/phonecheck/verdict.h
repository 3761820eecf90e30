// A phone's verdict, and what the phone's-eye check knows of the files Generate wrote for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::phonecheck {

// In the order a phone meets them: the verdict is the first that applies.
enum class Verdict {
    Ready,
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
};

// "ready", "not generated", ...: one word or two for each verdict.
std::string_view verdictName(Verdict verdict);

// A phone's files as Generate left them in the output folder.
struct GeneratedFiles {
    std::optional<std::string> plain;
    std::optional<std::string> encrypted;  // the en/ copy
    bool encryptedRun = false;             // the folder has en/: the phones get the en/ copies

    bool generated() const { return plain && (!encryptedRun || encrypted); }
};

}  // namespace velquor::phonecheck
