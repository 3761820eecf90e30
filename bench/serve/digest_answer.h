// A phone's side of HTTP digest (RFC 7616, qop=auth): the challenge of a 401 read, and the
// Authorization header that answers it for a request, computed with the server's own hashing
// (serve's hexDigest).
#pragma once

#include <optional>
#include <string>

namespace velquor::bench {

struct DigestChallenge {
    std::string realm;
    std::string nonce;
    bool sha256 = false;  // else MD5
};

// The challenge of a WWW-Authenticate value; nothing when it is no digest challenge.
std::optional<DigestChallenge> readChallenge(const std::string& value);

// The Authorization value for GET PATH with nonce count NC.
std::string digestAuthorization(const DigestChallenge& challenge, const std::string& user,
                                const std::string& password, const std::string& path, unsigned nc);

}  // namespace velquor::bench
