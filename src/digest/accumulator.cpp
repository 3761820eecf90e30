// Adapters from the start/add/finish units to the Accumulator interface.
#include "digest/accumulator.h"

#include <algorithm>
#include <limits>

#include "digest/byte_order.h"
#include "digest/crc32.h"
#include "digest/digest_engine.h"
#include "digest/md2.h"
#include "digest/md4.h"
#include "digest/md5.h"
#include "digest/sha1.h"
#include "digest/sha2.h"

namespace velquor::digest {

namespace {

// The units count bytes in 32 bits per add; larger pieces go in several adds.
template <typename AddFn>
void addInPieces(const void* data, std::size_t count, AddFn&& addPiece) {
    constexpr std::size_t kMaxPiece = std::size_t{1} << 30;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    do {
        const std::size_t piece = std::min(count, kMaxPiece);
        addPiece(bytes, static_cast<std::uint32_t>(piece));
        bytes += piece;
        count -= piece;
    } while (count > 0);
}

std::string bytesOf(const std::uint8_t* data, std::size_t count) {
    return std::string(reinterpret_cast<const char*>(data), count);
}

class Crc32Accumulator final : public Accumulator {
public:
    void add(const void* data, std::size_t count) override {
        m_register = CCrc32Static::Update(m_register, data, count);
    }
    std::string finish() override {
        std::uint8_t out[4];
        detail::storeBe32(out, CCrc32Static::Finish(m_register));
        return bytesOf(out, 4);
    }

private:
    std::uint32_t m_register = CCrc32Static::kCrc32Preset;
};

class GostAccumulator final : public Accumulator {
public:
    explicit GostAccumulator(GostParameterSet set) { m_state.start(set); }
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_state.add(p, n); });
    }
    std::string finish() override {
        std::uint8_t out[GostHashState::kDigestSize];
        m_state.finish(out);
        return bytesOf(out, sizeof out);
    }

private:
    GostHashState m_state;
};

class Md2Accumulator final : public Accumulator {
public:
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_state.Update(p, n); });
    }
    std::string finish() override {
        std::uint8_t out[CMD2::kDigestSize];
        m_state.Final(out, CMD2::kDigestSize);
        return bytesOf(out, sizeof out);
    }

private:
    CMD2 m_state;
};

class Md4Accumulator final : public Accumulator {
public:
    Md4Accumulator() { m_state.start(); }
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_state.add(p, n); });
    }
    std::string finish() override {
        std::uint8_t out[Md4State::kDigestSize];
        m_state.finish(out);
        return bytesOf(out, sizeof out);
    }

private:
    Md4State m_state;
};

class Md5Accumulator final : public Accumulator {
public:
    Md5Accumulator() { m_state.start(); }
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_state.add(p, n); });
    }
    std::string finish() override {
        m_state.finish();
        return bytesOf(m_state.digest, Md5State::kDigestSize);
    }

private:
    Md5State m_state;
};

class Sha1Accumulator final : public Accumulator {
public:
    Sha1Accumulator() { m_state.start(); }
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_state.add(p, n); });
    }
    std::string finish() override {
        std::uint8_t out[Sha1State::kDigestSize];
        m_state.finish(out);
        return bytesOf(out, sizeof out);
    }

private:
    Sha1State m_state;
};

class Sha2Accumulator final : public Accumulator {
public:
    // Only made after a successful start.
    explicit Sha2Accumulator(const Sha2State& started) : m_state(started) {}
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_state.add(p, n); });
    }
    std::string finish() override {
        std::uint8_t out[64];
        m_state.finish(out);
        return bytesOf(out, m_state.digestLength);
    }

private:
    Sha2State m_state;
};

}  // namespace

std::unique_ptr<Accumulator> makeAccumulator(std::int32_t algorithm, std::int32_t sha2Size,
                                             GostParameterSet gost) {
    switch (algorithm) {
        case kAlgorithmCrc32:
            return std::make_unique<Crc32Accumulator>();
        case kAlgorithmGost:
            return std::make_unique<GostAccumulator>(gost);
        case kAlgorithmMd2:
            return std::make_unique<Md2Accumulator>();
        case kAlgorithmMd4:
            return std::make_unique<Md4Accumulator>();
        case kAlgorithmMd5:
            return std::make_unique<Md5Accumulator>();
        case kAlgorithmSha1:
            return std::make_unique<Sha1Accumulator>();
        case kAlgorithmSha2: {
            Sha2State state;
            if (state.start(sha2Size) != 0) return nullptr;
            return std::make_unique<Sha2Accumulator>(state);
        }
        default:
            return nullptr;
    }
}

}  // namespace velquor::digest
