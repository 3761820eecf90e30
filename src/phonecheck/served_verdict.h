// The verdict on what a phone's server answered, against the files Generate wrote.
#pragma once

#include <optional>
#include <string>

#include "phonecheck/http_fetcher.h"
#include "phonecheck/verdict.h"
#include "support/translatable.h"

namespace velquor::phonecheck {

struct ServedVerdict {
    Verdict verdict = Verdict::Ready;
    support::Phrase reason;
};

// answer: the GET of url. otherSpelling: a name in another case the server has (a HEAD of it
// answered), empty when none. key: the phones' key, when given.
ServedVerdict servedVerdict(const FetchResult& answer, const GeneratedFiles& files,
                            const std::optional<std::string>& key, const std::string& url,
                            const std::string& otherSpelling);

}  // namespace velquor::phonecheck
