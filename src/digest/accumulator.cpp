// Every digest unit behind the Accumulator interface, through DigestUnit.
#include "digest/accumulator.h"

#include <algorithm>

#include "digest/digest_engine.h"
#include "digest/digest_unit.h"

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

// Any unit behind the Accumulator interface.
template <typename Verbs>
class UnitAccumulator final : public Accumulator {
public:
    explicit UnitAccumulator(typename Verbs::Parameter parameter) : m_unit(parameter) {}
    [[nodiscard]] bool start() { return m_unit.start(); }
    void add(const void* data, std::size_t count) override {
        addInPieces(data, count, [this](const void* p, std::uint32_t n) { m_unit.add(p, n); });
    }
    std::string finish() override { return m_unit.finish(); }

private:
    DigestUnit<Verbs> m_unit;
};

template <typename Verbs>
std::unique_ptr<Accumulator> started(typename Verbs::Parameter parameter = {}) {
    auto accumulator = std::make_unique<UnitAccumulator<Verbs>>(parameter);
    if (!accumulator->start()) return nullptr;
    return accumulator;
}

}  // namespace

std::unique_ptr<Accumulator> makeAccumulator(std::int32_t algorithm, std::int32_t sha2Size,
                                             GostParameterSet gost) {
    switch (algorithm) {
        case kAlgorithmCrc32:
            return started<Crc32Verbs>();
        case kAlgorithmGost:
            return started<GostVerbs>(gost);
        case kAlgorithmMd2:
            return started<Md2Verbs>();
        case kAlgorithmMd4:
            return started<Md4Verbs>();
        case kAlgorithmMd5:
            return started<Md5Verbs>();
        case kAlgorithmSha1:
            return started<Sha1Verbs>();
        case kAlgorithmSha2:
            return started<Sha2Verbs>(sha2Size);
        default:
            return nullptr;
    }
}

}  // namespace velquor::digest
