// HTTP digest authentication (RFC 7616, qop=auth) over PhoneCredentials: the challenges a 401
// carries (SHA-256 and MD5, the one every user has a secret for first), the check of a request's
// Authorization header, and what a proven user may fetch.
//
// The nonces are the server's own: their issue time and a serial, tagged with a hash keyed by
// a random key of this run, so a challenge costs no memory and a flood of unanswered ones
// evicts nothing. A nonce enters the table of nonces in use when a right password first uses
// it; the table is bounded in number (the nonce first used longest ago gives way) and in
// lifetime, and keeps each nonce's counts, so a count used again (a replay) is refused. A nonce
// past its lifetime or gone from the table, or one not ours, is answered as stale: a client
// with the right password asks again with the new one. The table is split in shards, each under
// its own lock, so that the serving threads seldom wait on one another.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serve/request/phone_credentials.h"

namespace velquor::digest {
struct Sha2State;
}

namespace velquor::serve {

struct NonceLimits {
    std::size_t count = 16384;  // nonces held at once: a site's booting phones and then some
    std::chrono::seconds lifetime{300};
};

struct DigestOutcome {
    enum class Kind {
        Missing,    // no digest credentials: challenged
        Malformed,  // an Authorization header we cannot read, or not for our realm or path
        UnknownUser,
        WrongPassword,
        Stale,     // the right password on a nonce that is gone: challenged again, stale=true
        Replayed,  // a nonce count used already
        Proven,
    };
    Kind kind = Kind::Missing;
    std::string user;                        // as the client named it
    const Credential* credential = nullptr;  // when proven

    bool proven() const { return kind == Kind::Proven; }
    // Why the request was refused, for the fetch log and the status; empty when proven.
    std::string reason() const;
};

class DigestAuth {
public:
    using Now = std::function<std::chrono::steady_clock::time_point()>;

    // CREDENTIALS must outlive the checker. NOW is for tests that age nonces.
    explicit DigestAuth(const PhoneCredentials& credentials, NonceLimits limits = {}, Now now = {});
    ~DigestAuth();
    DigestAuth(const DigestAuth&) = delete;
    DigestAuth& operator=(const DigestAuth&) = delete;

    // The request's Authorization header (empty when it has none), its method and its path as
    // the server was given it (before any query).
    DigestOutcome check(std::string_view authorization, std::string_view method,
                        std::string_view path);
    // The WWW-Authenticate values of a 401, each with a new nonce (one for both): the algorithm
    // every user has first.
    std::vector<std::string> challenges(bool stale);

    // The nonces in use held now (never more than the limit).
    std::size_t nonceCount() const;

private:
    struct Shard;
    // Whether NONCE may be used with count NC: proven, stale or replayed.
    DigestOutcome::Kind nonceVerdict(std::string_view nonce, std::uint32_t nc);
    std::uint64_t elapsedMs() const;
    // The tag that proves the nonce FIELDS ours: 32 hex digits into out.
    void writeNonceTag(std::string_view fields, char* out) const;
    // When NONCE was issued, if it is ours.
    std::optional<std::uint64_t> issuedAt(std::string_view nonce) const;

    const PhoneCredentials& m_credentials;
    NonceLimits m_limits;
    Now m_now;
    std::vector<DigestAlgorithm> m_offered;     // the challenges' algorithms, in their order
    std::vector<std::string> m_challengeHeads;  // each challenge up to its nonce
    std::unique_ptr<Shard[]> m_shards;
    // SHA-256 with the key of this run (hex of random bytes, one block) taken in.
    std::unique_ptr<digest::Sha2State> m_keyed;
    const std::chrono::steady_clock::time_point m_start;
    std::atomic<std::uint64_t> m_serial{0};
};

// Whether the proven user may have the file of phone MAC (empty: a file naming no phone):
// nothing when it may, else the refusal, "wrong user (001a2b3c4d5f asked for 001a2b3c4d5e)".
std::optional<std::string> wrongUser(const DigestOutcome& proven, std::string_view mac);

}  // namespace velquor::serve
