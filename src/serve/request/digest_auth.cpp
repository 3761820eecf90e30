// HTTP digest authentication; see digest_auth.h.
#include "serve/request/digest_auth.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <unordered_map>

#include "support/hex.h"

namespace velquor::serve {

namespace {

using Steady = std::chrono::steady_clock;
constexpr std::size_t kNonceBytes = 16;
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

std::string newNonce() {
    std::uint8_t bytes[kNonceBytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    return support::hexEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

struct NonceUse {
    Steady::time_point issued;
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

// One part of the nonce table: its nonces by text and in the order they were issued.
struct DigestAuth::Shard {
    mutable std::mutex mutex;
    std::unordered_map<std::string, NonceUse> uses;
    std::deque<std::string> order;

    // Drops the nonces past their lifetime and, to make room for one, the oldest.
    void prune(Steady::time_point now, const NonceLimits& limits, std::size_t room) {
        while (!order.empty()) {
            auto oldest = uses.find(order.front());
            if (uses.size() < room && now - oldest->second.issued <= limits.lifetime) return;
            uses.erase(oldest);
            order.pop_front();
        }
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
      m_shards(new Shard[shardCount(limits)]) {
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
        value("cnonce").empty() || nonce.size() != 2 * kNonceBytes ||
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
    Shard& shard = m_shards[std::strtoul(std::string(nonce.substr(0, 2)).c_str(), nullptr, 16) %
                            shardCount(m_limits)];
    std::lock_guard lock(shard.mutex);
    const auto use = shard.uses.find(std::string(nonce));
    if (use == shard.uses.end() || m_now() - use->second.issued > m_limits.lifetime) {
        outcome.kind = Kind::Stale;
    } else if (!use->second.take(*nc)) {
        outcome.kind = Kind::Replayed;
    } else {
        outcome.kind = Kind::Proven;
        return outcome;
    }
    outcome.credential = nullptr;
    return outcome;
}

std::vector<std::string> DigestAuth::challenges(bool stale) {
    const std::string nonce = newNonce();
    const std::size_t shards = shardCount(m_limits);
    Shard& shard = m_shards[std::strtoul(nonce.substr(0, 2).c_str(), nullptr, 16) % shards];
    {
        const auto now = m_now();
        std::lock_guard lock(shard.mutex);
        shard.prune(now, m_limits, std::max<std::size_t>(1, m_limits.count / shards));
        shard.uses.emplace(nonce, NonceUse{now});
        shard.order.push_back(nonce);
    }
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
