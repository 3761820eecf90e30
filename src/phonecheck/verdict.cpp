// The verdicts' names; see verdict.h.
#include "phonecheck/verdict.h"

namespace velquor::phonecheck {

std::string_view verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ready:
            return "ready";
        case Verdict::RowRefused:
            return "row refused";
        case Verdict::NotGenerated:
            return "not generated";
        case Verdict::NotChecked:
            return "not checked";
        case Verdict::NotRegistered:
            return "not registered";
        case Verdict::AnotherAccount:
            return "another account";
        case Verdict::NotAUrl:
            return "not a URL";
        case Verdict::Unreachable:
            return "cannot reach";
        case Verdict::NotFound:
            return "404";
        case Verdict::HttpError:
            return "HTTP error";
        case Verdict::Differs:
            return "differs";
        case Verdict::NotEncrypted:
            return "not encrypted";
        case Verdict::DoesNotDecrypt:
            return "does not decrypt";
        case Verdict::AskedNotFound:
            return "asked, not found";
        case Verdict::AskedRefused:
            return "asked, refused";
    }
    return "";
}

}  // namespace velquor::phonecheck
