// Every digest unit behind the same three verbs. The units keep their own shapes (CMD2's
// Init/Update/Final, a CRC register that belongs to the caller, SHA-2's size at start, MD5's
// digest kept in its record); each Verbs struct below spells one shape out once, and
// DigestUnit<Verbs> gives the accumulators and the tests one restartable object over it.
#pragma once

#include <cstdint>
#include <string>

#include "digest/byte_order.h"
#include "digest/crc32.h"
#include "digest/gost94.h"
#include "digest/md2.h"
#include "digest/md4.h"
#include "digest/md5.h"
#include "digest/sha1.h"
#include "digest/sha2.h"

namespace velquor::digest {

namespace detail {

inline std::string bytesOf(const std::uint8_t* data, std::size_t count) {
    return std::string(reinterpret_cast<const char*>(data), count);
}

}  // namespace detail

struct NoParameter {};

// The record with start(), add() and finish(out) of kDigestSize bytes: MD4 and SHA-1.
template <typename Record>
struct PlainVerbs {
    using State = Record;
    using Parameter = NoParameter;
    static bool start(State& state, NoParameter) {
        state.start();
        return true;
    }
    static void add(State& state, const void* data, std::uint32_t count) { state.add(data, count); }
    static std::string finish(State& state) {
        std::uint8_t out[Record::kDigestSize];
        state.finish(out);
        return detail::bytesOf(out, sizeof out);
    }
};

// CRC-32: the caller's register; the digest is the value's four bytes, most significant first.
struct Crc32Verbs {
    using State = std::uint32_t;
    using Parameter = NoParameter;
    static bool start(State& reg, NoParameter) {
        reg = CCrc32Static::kCrc32Preset;
        return true;
    }
    static void add(State& reg, const void* data, std::uint32_t count) {
        reg = CCrc32Static::Update(reg, data, count);
    }
    static std::string finish(State& reg) {
        std::uint8_t out[4];
        detail::storeBe32(out, CCrc32Static::Finish(reg));
        return detail::bytesOf(out, sizeof out);
    }
};

struct GostVerbs : PlainVerbs<GostHashState> {
    using Parameter = GostParameterSet;
    static bool start(State& state, GostParameterSet set) {
        state.start(set);
        return true;
    }
};

struct Md2Verbs {
    using State = CMD2;
    using Parameter = NoParameter;
    static bool start(State& state, NoParameter) {
        state.Init();
        return true;
    }
    static void add(State& state, const void* data, std::uint32_t count) {
        state.Update(data, count);
    }
    static std::string finish(State& state) {
        std::uint8_t out[CMD2::kDigestSize];
        state.Final(out, CMD2::kDigestSize);
        return detail::bytesOf(out, sizeof out);
    }
};

using Md4Verbs = PlainVerbs<Md4State>;
using Sha1Verbs = PlainVerbs<Sha1State>;

struct Md5Verbs : PlainVerbs<Md5State> {
    static std::string finish(State& state) {
        state.finish();
        return detail::bytesOf(state.digest, Md5State::kDigestSize);
    }
};

// SHA-2: the parameter is the size the unit starts with (256, 384, 512 or 32, 48, 64).
struct Sha2Verbs {
    using State = Sha2State;
    using Parameter = int;
    static bool start(State& state, int size) { return state.start(size) == 0; }
    static void add(State& state, const void* data, std::uint32_t count) { state.add(data, count); }
    static std::string finish(State& state) {
        std::uint8_t out[64];
        state.finish(out);
        return detail::bytesOf(out, state.digestLength);
    }
};

// One unit, started again and again with the same parameter. Adds take 32-bit counts, as
// the units do; callers with larger pieces split them.
template <typename Verbs>
class DigestUnit {
public:
    using Parameter = typename Verbs::Parameter;
    explicit DigestUnit(Parameter parameter = {}) : m_parameter(parameter) {}

    // False when the unit refuses the parameter (a SHA-2 size it does not know); the unit
    // must then not be used.
    [[nodiscard]] bool start() { return Verbs::start(m_state, m_parameter); }
    void add(const void* data, std::uint32_t count) { Verbs::add(m_state, data, count); }
    // The digest bytes; start again before reuse.
    std::string finish() { return Verbs::finish(m_state); }

private:
    typename Verbs::State m_state{};
    Parameter m_parameter;
};

}  // namespace velquor::digest
