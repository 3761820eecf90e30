// HTTP digest authentication; see digest_auth.h.
#include "serve/request/digest_auth.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <unordered_map>

#include "support/hex.h"

namespace velquor::serve {

namespace {

using Steady = std::chrono::steady_clock;
// A nonce: when it was issued (ms since the checker began) and a serial, 16 hex digits each,
// then the tag that proves it ours: 32 hex digits of SHA-256 over the server's key and them.
constexpr std::size_t kNonceFieldDigits = 16;
constexpr std::size_t kNonceTagDigits = 32;
constexpr std::size_t kNonceDigits = 2 * kNonceFieldDigits + kNonceTagDigits;
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kMostShards = 16;
constexpr std::size_t kNoncesPerShardAtLeast = 64;
constexpr unsigned kCountWindow = 64;  // nonce counts remembered below the highest seen

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The parameters of a "Digest a=b, c="d"" header, names in lower case; nothing when it is no
// digest header or a quoted value does not end.
std::optional<std::map<std::string, std::string>> digestParameters(std::string_view header) {
    constexpr std::string_view kScheme = "digest";
    if (header.size() <= kScheme.size() ||
        !sameLetters(header.substr(0, kScheme.size()), kScheme) ||
        (header[kScheme.size()] != ' ' && header[kScheme.size()] != '\t'))
        return std::nullopt;
    std::map<std::string, std::string> parameters;
    std::size_t at = kScheme.size();
    auto skipSpaces = [&] {
        while (at < header.size() && (header[at] == ' ' || header[at] == '\t' || header[at] == ','))
            ++at;
    };
    for (skipSpaces(); at < header.size(); skipSpaces()) {
        const std::size_t equals = header.find('=', at);
        if (equals == std::string_view::npos) return std::nullopt;
        std::string name(header.substr(at, equals - at));
        while (!name.empty() && name.back() == ' ') name.pop_back();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        at = equals + 1;
        while (at < header.size() && header[at] == ' ') ++at;
        std::string value;
        if (at < header.size() && header[at] == '"') {
            for (++at; at < header.size() && header[at] != '"'; ++at) {
                if (header[at] == '\\' && at + 1 < header.size()) ++at;
                value += header[at];
            }
            if (at >= header.size()) return std::nullopt;
            ++at;
        } else {
            const std::size_t end = std::min(header.find(',', at), header.size());
            value = header.substr(at, end - at);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.pop_back();
            at = end;
        }
        if (!parameters.emplace(std::move(name), std::move(value)).second) return std::nullopt;
    }
    return parameters;
}

std::optional<DigestAlgorithm> algorithmNamed(std::string_view name) {
    if (name.empty() || sameLetters(name, "MD5")) return DigestAlgorithm::Md5;
    if (sameLetters(name, "SHA-256")) return DigestAlgorithm::Sha256;
    return std::nullopt;  // the -sess variants and SHA-512-256 are never offered
}

// Compares in a time that does not tell how much of the response was right.
bool sameSecret(std::string_view expected, std::string_view given) {
    if (expected.size() != given.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(
            expected[i] ^ std::tolower(static_cast<unsigned char>(given[i])));
    return difference == 0;
}

std::string quotedText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

std::string randomKey() {
    std::uint8_t bytes[kKeyBytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    return support::hexEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string field(std::uint64_t value) {
    char text[kNonceFieldDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::optional<std::uint64_t> fieldValue(std::string_view digits) {
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                                                                      : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

struct NonceUse {
    std::uint64_t issuedMs = 0;
    std::uint32_t highest = 0;  // the highest nonce count used
    std::uint64_t seen = 0;     // bit i: count highest - i was used

    // Takes count NC: false when it was used already or is too far behind to tell.
    bool take(std::uint32_t nc) {
        if (nc == 0) return false;
        if (nc > highest) {
            const std::uint32_t shift = nc - highest;
            seen = shift >= kCountWindow ? 0 : seen << shift;
            seen |= 1;
            highest = nc;
            return true;
        }
        const std::uint32_t behind = highest - nc;
        if (behind >= kCountWindow || (seen & (std::uint64_t{1} << behind)) != 0) return false;
        seen |= std::uint64_t{1} << behind;
        return true;
    }
};

std::optional<std::uint32_t> parseNonceCount(std::string_view text) {
    if (text.size() != 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : (std::isxdigit(static_cast<unsigned char>(c))
                                     ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                     : -1);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::size_t shardCount(const NonceLimits& limits) {
    return std::clamp<std::size_t>(limits.count / kNoncesPerShardAtLeast, 1, kMostShards);
}

}  // namespace

// One part of the table of nonces in use: their counts by nonce, in the order of their first
// use. A nonce that had to give way for room is never taken again (its counts are gone): nor is
// any nonce issued no later than the latest one that did, which the shard remembers.
struct DigestAuth::Shard {
    mutable std::mutex mutex;
    std::unordered_map<std::uint64_t, NonceUse> uses;  // by serial: one per nonce issued
    std::deque<std::uint64_t> order;
    std::optional<std::uint64_t> givenWayUpTo;  // the latest issue time (ms) of one that gave way

    // Drops the nonces past their lifetime at the front and, to make room for one, the oldest.
    void prune(std::uint64_t nowMs, std::uint64_t lifetimeMs, std::size_t room) {
        while (!order.empty()) {
            auto oldest = uses.find(order.front());
            const bool expired = nowMs - oldest->second.issuedMs > lifetimeMs;
            if (uses.size() < room && !expired) return;
            if (!expired)
                givenWayUpTo = std::max(givenWayUpTo.value_or(0), oldest->second.issuedMs);
            uses.erase(oldest);
            order.pop_front();
        }
    }

    // The use of the nonce of SERIAL, issued at ISSUED_MS, with count NC.
    DigestOutcome::Kind use(std::uint64_t serial, std::uint64_t issuedMs, std::uint32_t nc,
                            std::uint64_t nowMs, std::uint64_t lifetimeMs, std::size_t room) {
        std::lock_guard lock(mutex);
        auto found = uses.find(serial);
        if (found == uses.end()) {
            if (givenWayUpTo && issuedMs <= *givenWayUpTo) return DigestOutcome::Kind::Stale;
            prune(nowMs, lifetimeMs, room);
            found = uses.emplace(serial, NonceUse{issuedMs}).first;
            order.push_back(serial);
        }
        return found->second.take(nc) ? DigestOutcome::Kind::Proven : DigestOutcome::Kind::Replayed;
    }
};

std::string DigestOutcome::reason() const {
    switch (kind) {
        case Kind::Missing:
            return "no credentials";
        case Kind::Malformed:
            return "unreadable credentials";
        case Kind::UnknownUser:
            return "unknown user " + user;
        case Kind::WrongPassword:
            return "wrong password for " + user;
        case Kind::Stale:
            return "stale nonce";
        case Kind::Replayed:
            return "replayed nonce count";
        case Kind::Proven:
            return {};
    }
    return {};
}

DigestAuth::DigestAuth(const PhoneCredentials& credentials, NonceLimits limits, Now now)
    : m_credentials(credentials),
      m_limits(limits),
      m_now(now ? std::move(now) : Now([] { return Steady::now(); })),
      m_shards(new Shard[shardCount(limits)]),
      m_key(randomKey()),
      m_start(m_now()) {
    // A client answers the first challenge it can: SHA-256 first when every user has it.
    m_offered = {DigestAlgorithm::Sha256, DigestAlgorithm::Md5};
    if (!credentials.sha256ForAll()) std::swap(m_offered[0], m_offered[1]);
    std::erase_if(m_offered,
                  [&](DigestAlgorithm algorithm) { return !credentials.offers(algorithm); });
}

DigestAuth::~DigestAuth() = default;

DigestOutcome DigestAuth::check(std::string_view authorization, std::string_view method,
                                std::string_view path) {
    using Kind = DigestOutcome::Kind;
    DigestOutcome outcome;
    if (authorization.empty()) return outcome;
    outcome.kind = Kind::Malformed;
    const auto parameters = digestParameters(authorization);
    if (!parameters) return outcome;
    auto value = [&](const char* name) -> std::string_view {
        const auto found = parameters->find(name);
        return found != parameters->end() ? std::string_view(found->second) : std::string_view();
    };
    const std::string_view uri = value("uri");
    const auto algorithm = algorithmNamed(value("algorithm"));
    const auto nc = parseNonceCount(value("nc"));
    const std::string_view nonce = value("nonce");
    if (value("realm") != m_credentials.realm() || !algorithm || value("qop") != "auth" || !nc ||
        value("cnonce").empty() || nonce.size() != kNonceDigits ||
        uri.substr(0, uri.find('?')) != path)
        return outcome;
    outcome.user = std::string(value("username"));
    outcome.credential = m_credentials.find(outcome.user);
    if (outcome.credential == nullptr || outcome.credential->ha1(*algorithm).empty()) {
        outcome.kind = Kind::UnknownUser;
        outcome.credential = nullptr;
        return outcome;
    }
    const std::string ha2 = hexDigest(*algorithm, std::string(method) + ":" + std::string(uri));
    const std::string expected =
        hexDigest(*algorithm, outcome.credential->ha1(*algorithm) + ":" + std::string(nonce) + ":" +
                                  std::string(value("nc")) + ":" + std::string(value("cnonce")) +
                                  ":auth:" + ha2);
    if (!sameSecret(expected, value("response"))) {
        outcome.kind = Kind::WrongPassword;
        outcome.credential = nullptr;
        return outcome;
    }
    outcome.kind = nonceVerdict(nonce, *nc);
    if (!outcome.proven()) outcome.credential = nullptr;
    return outcome;
}

DigestOutcome::Kind DigestAuth::nonceVerdict(std::string_view nonce, std::uint32_t nc) {
    const std::optional<std::uint64_t> issued = issuedAt(nonce);
    const std::uint64_t nowMs = elapsedMs();
    const auto lifetimeMs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_limits.lifetime).count());
    if (!issued || nowMs - *issued > lifetimeMs) return DigestOutcome::Kind::Stale;
    const std::size_t shards = shardCount(m_limits);
    const std::uint64_t serial = *fieldValue(nonce.substr(kNonceFieldDigits, kNonceFieldDigits));
    return m_shards[serial % shards].use(serial, *issued, nc, nowMs, lifetimeMs,
                                         std::max<std::size_t>(1, m_limits.count / shards));
}

std::uint64_t DigestAuth::elapsedMs() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_now() - m_start).count());
}

std::string DigestAuth::nonceTag(std::string_view fields) const {
    return hexDigest(DigestAlgorithm::Sha256, m_key + std::string(fields))
        .substr(0, kNonceTagDigits);
}

std::optional<std::uint64_t> DigestAuth::issuedAt(std::string_view nonce) const {
    const std::string_view fields = nonce.substr(0, 2 * kNonceFieldDigits);
    if (!sameSecret(nonceTag(fields), nonce.substr(2 * kNonceFieldDigits))) return std::nullopt;
    const auto issued = fieldValue(fields.substr(0, kNonceFieldDigits));
    if (!issued || !fieldValue(fields.substr(kNonceFieldDigits))) return std::nullopt;
    return issued;
}

std::vector<std::string> DigestAuth::challenges(bool stale) {
    const std::string fields = field(elapsedMs()) + field(m_serial.fetch_add(1));
    const std::string nonce = fields + nonceTag(fields);
    std::vector<std::string> values;
    for (DigestAlgorithm algorithm : m_offered) {
        values.push_back("Digest realm=" + quotedText(m_credentials.realm()) +
                         ", qop=\"auth\", algorithm=" + std::string(algorithmName(algorithm)) +
                         ", nonce=\"" + nonce + "\"" + (stale ? ", stale=true" : ""));
    }
    return values;
}

std::size_t DigestAuth::nonceCount() const {
    std::size_t count = 0;
    for (std::size_t i = 0; i < shardCount(m_limits); ++i) {
        std::lock_guard lock(m_shards[i].mutex);
        count += m_shards[i].uses.size();
    }
    return count;
}

std::optional<std::string> wrongUser(const DigestOutcome& proven, std::string_view mac) {
    if (mac.empty() || proven.credential == nullptr || proven.credential->phone.empty() ||
        proven.credential->phone == mac)
        return std::nullopt;
    return "wrong user (" + proven.credential->phone + " asked for " + std::string(mac) + ")";
}

}  // namespace velquor::serve
