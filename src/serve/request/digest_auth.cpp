// HTTP digest authentication; see digest_auth.h.
#include "serve/request/digest_auth.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <optional>
#include <unordered_map>

#include "digest/md5.h"
#include "digest/sha2.h"
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

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

// The parameters of an Authorization header the check reads, in this order.
enum Field : std::size_t { Username, Realm, Nonce, Uri, Algorithm, Qop, Nc, Cnonce, Response };
constexpr std::array<std::string_view, 9> kFieldNames{
    "username", "realm", "nonce", "uri", "algorithm", "qop", "nc", "cnonce", "response"};

// The values of a "Digest a=b, c="d"" header: views into it, or into `unescaped` where a quoted
// value holds backslash escapes. Parameters the check does not read are passed over.
struct DigestFields {
    std::array<std::string_view, kFieldNames.size()> values{};
    std::array<bool, kFieldNames.size()> given{};
    std::array<std::string, kFieldNames.size()> unescaped{};

    std::string_view operator[](Field field) const { return values[field]; }
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The index of parameter NAME among kFieldNames (any case), or kFieldNames.size().
std::size_t fieldIndex(std::string_view name) {
    for (std::size_t i = 0; i < kFieldNames.size(); ++i)
        if (sameLetters(name, kFieldNames[i])) return i;
    return kFieldNames.size();
}

// Reads the header into FIELDS: false when it is no digest header, a quoted value does not end
// or a parameter the check reads comes twice.
bool readDigestFields(std::string_view header, DigestFields& fields) {
    constexpr std::string_view kScheme = "digest";
    if (header.size() <= kScheme.size() ||
        !sameLetters(header.substr(0, kScheme.size()), kScheme) || !isBlank(header[kScheme.size()]))
        return false;
    std::size_t at = kScheme.size();
    auto skipSeparators = [&] {
        while (at < header.size() && (isBlank(header[at]) || header[at] == ',')) ++at;
    };
    for (skipSeparators(); at < header.size(); skipSeparators()) {
        const std::size_t equals = header.find('=', at);
        if (equals == std::string_view::npos) return false;
        std::string_view name = header.substr(at, equals - at);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        at = equals + 1;
        while (at < header.size() && header[at] == ' ') ++at;
        std::string_view value;
        std::string unescaped;
        bool escaped = false;
        if (at < header.size() && header[at] == '"') {
            const std::size_t begin = ++at;
            for (; at < header.size() && header[at] != '"'; ++at) {
                if (header[at] == '\\' && at + 1 < header.size()) {
                    if (!escaped) unescaped.assign(header.substr(begin, at - begin));
                    escaped = true;
                    ++at;
                }
                if (escaped) unescaped += header[at];
            }
            if (at >= header.size()) return false;
            value = header.substr(begin, at - begin);
            ++at;
        } else {
            const std::size_t end = std::min(header.find(',', at), header.size());
            value = header.substr(at, end - at);
            while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
            at = end;
        }
        const std::size_t index = fieldIndex(name);
        if (index == kFieldNames.size()) continue;
        if (fields.given[index]) return false;
        fields.given[index] = true;
        if (escaped) {
            fields.unescaped[index] = std::move(unescaped);
            value = fields.unescaped[index];
        }
        fields.values[index] = value;
    }
    return true;
}

// The hex digest of pieces added one after another, with no text put together for it.
class HexHasher {
public:
    explicit HexHasher(DigestAlgorithm algorithm) : m_algorithm(algorithm) {
        if (algorithm == DigestAlgorithm::Md5)
            m_md5.start();
        else
            m_sha256.start(256);
    }

    HexHasher& add(std::string_view piece) {
        if (m_algorithm == DigestAlgorithm::Md5)
            m_md5.add(piece.data(), static_cast<std::uint32_t>(piece.size()));
        else
            m_sha256.add(piece.data(), static_cast<std::uint32_t>(piece.size()));
        return *this;
    }

    // The digest in lower-case hex: 32 digits for MD5, 64 for SHA-256.
    std::string_view finish() {
        std::uint8_t bytes[32];
        std::size_t size = 32;
        if (m_algorithm == DigestAlgorithm::Md5) {
            m_md5.finish();
            std::copy(std::begin(m_md5.digest), std::end(m_md5.digest), bytes);
            size = sizeof m_md5.digest;
        } else {
            m_sha256.finish(bytes);
        }
        support::hexEncodeInto(std::string_view(reinterpret_cast<const char*>(bytes), size), m_hex);
        return {m_hex, 2 * size};
    }

private:
    DigestAlgorithm m_algorithm;
    digest::Md5State m_md5{};
    digest::Sha2State m_sha256{};
    char m_hex[64]{};
};

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
        difference |= static_cast<unsigned char>(expected[i] ^ asciiLower(given[i]));
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

// VALUE as kNonceFieldDigits hex digits into out.
void writeField(std::uint64_t value, char* out) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = kNonceFieldDigits; i-- > 0; value >>= 4) out[i] = kDigits[value & 0xf];
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
      m_keyed(std::make_unique<digest::Sha2State>()),
      m_start(m_now()) {
    // The key is one whole block: the tag's hash starts from its state, kept once.
    const std::string key = randomKey();
    m_keyed->start(256);
    m_keyed->add(key.data(), static_cast<std::uint32_t>(key.size()));
    // A client answers the first challenge it can: SHA-256 first when every user has it.
    m_offered = {DigestAlgorithm::Sha256, DigestAlgorithm::Md5};
    if (!credentials.sha256ForAll()) std::swap(m_offered[0], m_offered[1]);
    std::erase_if(m_offered,
                  [&](DigestAlgorithm algorithm) { return !credentials.offers(algorithm); });
    for (DigestAlgorithm algorithm : m_offered) {
        m_challengeHeads.push_back(
            "Digest realm=" + quotedText(credentials.realm()) +
            ", qop=\"auth\", algorithm=" + std::string(algorithmName(algorithm)) + ", nonce=\"");
    }
}

DigestAuth::~DigestAuth() = default;

DigestOutcome DigestAuth::check(std::string_view authorization, std::string_view method,
                                std::string_view path) {
    using Kind = DigestOutcome::Kind;
    DigestOutcome outcome;
    if (authorization.empty()) return outcome;
    outcome.kind = Kind::Malformed;
    DigestFields fields;
    if (!readDigestFields(authorization, fields)) return outcome;
    const std::string_view uri = fields[Uri];
    const auto algorithm = algorithmNamed(fields[Algorithm]);
    const auto nc = parseNonceCount(fields[Nc]);
    const std::string_view nonce = fields[Nonce];
    if (fields[Realm] != m_credentials.realm() || !algorithm || fields[Qop] != "auth" || !nc ||
        fields[Cnonce].empty() || nonce.size() != kNonceDigits ||
        uri.substr(0, uri.find('?')) != path)
        return outcome;
    outcome.user = std::string(fields[Username]);
    outcome.credential = m_credentials.find(outcome.user);
    if (outcome.credential == nullptr || outcome.credential->ha1(*algorithm).empty()) {
        outcome.kind = Kind::UnknownUser;
        outcome.credential = nullptr;
        return outcome;
    }
    HexHasher ha2Hasher(*algorithm);
    const std::string_view ha2 = ha2Hasher.add(method).add(":").add(uri).finish();
    HexHasher expected(*algorithm);
    expected.add(outcome.credential->ha1(*algorithm)).add(":").add(nonce).add(":");
    expected.add(fields[Nc]).add(":").add(fields[Cnonce]).add(":auth:").add(ha2);
    if (!sameSecret(expected.finish(), fields[Response])) {
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

void DigestAuth::writeNonceTag(std::string_view fields, char* out) const {
    digest::Sha2State state = *m_keyed;
    state.add(fields.data(), static_cast<std::uint32_t>(fields.size()));
    std::uint8_t hash[32];
    state.finish(hash);
    support::hexEncodeInto(
        std::string_view(reinterpret_cast<const char*>(hash), kNonceTagDigits / 2), out);
}

std::optional<std::uint64_t> DigestAuth::issuedAt(std::string_view nonce) const {
    const std::string_view fields = nonce.substr(0, 2 * kNonceFieldDigits);
    char tag[kNonceTagDigits];
    writeNonceTag(fields, tag);
    if (!sameSecret(std::string_view(tag, sizeof tag), nonce.substr(2 * kNonceFieldDigits)))
        return std::nullopt;
    const auto issued = fieldValue(fields.substr(0, kNonceFieldDigits));
    if (!issued || !fieldValue(fields.substr(kNonceFieldDigits))) return std::nullopt;
    return issued;
}

std::vector<std::string> DigestAuth::challenges(bool stale) {
    char nonce[kNonceDigits];
    writeField(elapsedMs(), nonce);
    writeField(m_serial.fetch_add(1, std::memory_order_relaxed), nonce + kNonceFieldDigits);
    writeNonceTag(std::string_view(nonce, 2 * kNonceFieldDigits), nonce + 2 * kNonceFieldDigits);
    constexpr std::string_view kStale = "\", stale=true";
    std::vector<std::string> values;
    values.reserve(m_challengeHeads.size());
    for (const std::string& head : m_challengeHeads) {
        std::string& value = values.emplace_back();
        value.reserve(head.size() + sizeof nonce + kStale.size());
        value.append(head).append(nonce, sizeof nonce).append(stale ? kStale : kStale.substr(0, 1));
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
