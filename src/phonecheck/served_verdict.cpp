// The verdict on a served file; see served_verdict.h.
#include "phonecheck/served_verdict.h"

#include <vector>

#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "crypto/plaintext_check.h"

namespace velquor::phonecheck {
namespace {

using support::Phrase;

std::string decrypted(const std::string& bytes, const std::string& key) {
    crypto::CAes aes;
    aes.Init(static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
    std::vector<std::uint8_t> data(crypto::completedSize(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), data.begin());
    const std::size_t size = crypto::decryptCompleted(aes, data.data(), bytes.size());
    return std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
}

bool looksLikeText(const std::string& bytes) {
    return crypto::looksLikeText(std::string_view(bytes).substr(0, crypto::kTextSampleBytes));
}

ServedVerdict differs() {
    return {
        Verdict::Differs,
        Phrase{VELQUOR_TR_NOOP("core", "the served file differs from the one generated (older?)"),
               {}}};
}

ServedVerdict doesNotDecrypt() {
    return {Verdict::DoesNotDecrypt,
            Phrase{VELQUOR_TR_NOOP("core", "the served file does not decrypt with the key"), {}}};
}

// The run encrypted: the phone must get the en/ copy, and the phones' key must open it.
ServedVerdict encryptedVerdict(const std::string& served, const GeneratedFiles& files,
                               const std::optional<std::string>& key) {
    if (served == *files.encrypted) {
        if (key && decrypted(served, *key) != *files.plain) return doesNotDecrypt();
        return {Verdict::Ready, Phrase{VELQUOR_TR_NOOP("core", "ready"), {}}};
    }
    // Encryption leaves noise: a file that reads as text is the plain file, passwords in clear.
    if (served == *files.plain || looksLikeText(served)) {
        return {
            Verdict::NotEncrypted,
            Phrase{VELQUOR_TR_NOOP("core", "the served file is not encrypted although en/ exists"),
                   {}}};
    }
    if (key && !looksLikeText(decrypted(served, *key))) return doesNotDecrypt();
    return differs();
}

// The common failures in words of their own (the window translates them); any other in the
// library's words.
Phrase unreachableReason(const FetchResult& answer, const std::string& host) {
    switch (answer.failure) {
        case FetchFailure::Refused:
            //: %1 is a host name and port
            return Phrase{VELQUOR_TR_NOOP("core", "cannot reach %1: the connection was refused"),
                          {host}};
        case FetchFailure::TimedOut:
            //: %1 is a host name and port
            return Phrase{VELQUOR_TR_NOOP("core", "cannot reach %1: no answer in time"), {host}};
        case FetchFailure::NameNotFound:
            //: %1 is a host name and port
            return Phrase{VELQUOR_TR_NOOP("core", "cannot reach %1: the name is not found"),
                          {host}};
        case FetchFailure::Certificate:
            //: %1 is a host name and port
            return Phrase{
                VELQUOR_TR_NOOP("core", "cannot reach %1: its certificate is not trusted"), {host}};
        case FetchFailure::None:
        case FetchFailure::Other:
            break;
    }
    //: %1 is a host name and port, %2 why it cannot be reached (the library's words)
    return Phrase{VELQUOR_TR_NOOP("core", "cannot reach %1 (%2)"), {host, answer.error}};
}

}  // namespace

ServedVerdict servedVerdict(const FetchResult& answer, const GeneratedFiles& files,
                            const std::optional<std::string>& key, const std::string& url,
                            const std::string& otherSpelling) {
    if (!answer.answered) return {Verdict::Unreachable, unreachableReason(answer, hostOf(url))};
    if (answer.status == 404) {
        if (otherSpelling.empty()) {
            //: %1 is the URL the phone asks for
            return {Verdict::NotFound, Phrase{VELQUOR_TR_NOOP("core", "404 at %1"), {url}}};
        }
        //: %1 is the URL the phone asks for, %2 a file name the server has
        return {Verdict::NotFound,
                Phrase{VELQUOR_TR_NOOP("core", "404 at %1 (%2 is there: the case differs)"),
                       {url, otherSpelling}}};
    }
    if (answer.status < 200 || answer.status > 299) {
        //: %1 is an HTTP status number, %2 the URL the phone asks for
        return {Verdict::HttpError, Phrase{VELQUOR_TR_NOOP("core", "HTTP %1 at %2"),
                                           {std::to_string(answer.status), url}}};
    }
    if (files.encryptedRun) return encryptedVerdict(answer.body, files, key);
    if (answer.body == *files.plain) {
        return {Verdict::Ready, Phrase{VELQUOR_TR_NOOP("core", "ready"), {}}};
    }
    return differs();
}

}  // namespace velquor::phonecheck
