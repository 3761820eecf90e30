#include "digest_answer.h"

#include <cstdio>

#include "serve/request/phone_credentials.h"

namespace velquor::bench {
namespace {

std::string hashed(bool sha256, const std::string& text) {
    return serve::hexDigest(sha256 ? serve::DigestAlgorithm::Sha256 : serve::DigestAlgorithm::Md5,
                            text);
}

std::string quotedValue(const std::string& value, const std::string& name) {
    const std::size_t at = value.find(name + "=\"");
    if (at == std::string::npos) return {};
    const std::size_t start = at + name.size() + 2;
    return value.substr(start, value.find('"', start) - start);
}

}  // namespace

std::optional<DigestChallenge> readChallenge(const std::string& value) {
    if (value.rfind("Digest ", 0) != 0) return std::nullopt;
    DigestChallenge challenge{quotedValue(value, "realm"), quotedValue(value, "nonce"),
                              value.find("algorithm=SHA-256") != std::string::npos};
    if (challenge.nonce.empty()) return std::nullopt;
    return challenge;
}

std::string digestAuthorization(const DigestChallenge& challenge, const std::string& user,
                                const std::string& password, const std::string& path, unsigned nc) {
    char count[16];
    std::snprintf(count, sizeof count, "%08x", nc);
    const std::string cnonce = "b0075e" + std::string(count);
    const std::string ha1 = hashed(challenge.sha256, user + ":" + challenge.realm + ":" + password);
    const std::string ha2 = hashed(challenge.sha256, "GET:" + path);
    const std::string response =
        hashed(challenge.sha256,
               ha1 + ":" + challenge.nonce + ":" + count + ":" + cnonce + ":auth:" + ha2);
    return "Digest username=\"" + user + "\", realm=\"" + challenge.realm + "\", nonce=\"" +
           challenge.nonce + "\", uri=\"" + path +
           "\", algorithm=" + (challenge.sha256 ? "SHA-256" : "MD5") + ", qop=auth, nc=" + count +
           ", cnonce=\"" + cnonce + "\", response=\"" + response + "\"";
}

}  // namespace velquor::bench
