// CRC-32 with slicing-by-8 tables built at compile time, and the file and text routes.
#include "digest/crc32.h"

#include <array>
#include <cstring>
#include <fstream>
#include <memory>

#include "digest/acceleration_internal.h"
#include "digest/byte_order.h"

namespace velquor::digest {

namespace {

using Crc32Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Crc32Tables makeTables() {
    Crc32Tables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ ((reg & 1u) ? 0xEDB88320u : 0u);
        tables[0][i] = reg;
    }
    for (std::size_t t = 1; t < 8; ++t) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint32_t prev = tables[t - 1][i];
            tables[t][i] = (prev >> 8) ^ tables[0][prev & 0xFFu];
        }
    }
    return tables;
}

constexpr Crc32Tables kTables = makeTables();
static_assert(kTables[0][1] == 0x77073096u);

std::uint32_t updatePortable(std::uint32_t reg, const std::uint8_t* p, std::size_t count) {
    while (count >= 8) {
        const std::uint32_t low = detail::loadLe32(p) ^ reg;
        const std::uint32_t high = detail::loadLe32(p + 4);
        reg = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
              kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^
              kTables[2][(high >> 8) & 0xFF] ^ kTables[1][(high >> 16) & 0xFF] ^
              kTables[0][high >> 24];
        p += 8;
        count -= 8;
    }
    while (count-- > 0) reg = (reg >> 8) ^ kTables[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

}  // namespace

std::uint32_t CCrc32Static::Update(std::uint32_t reg, const void* data, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
#ifdef VELQUOR_DIGEST_X86
    if (count >= 64 && detail::useClmulCrc32()) return detail::crc32Clmul(reg, bytes, count);
#endif
    return updatePortable(reg, bytes, count);
}

int CCrc32Static::TextCrc32(const char* text, std::uint32_t& value) {
    const std::size_t length = text == nullptr ? 0 : std::strlen(text);
    value = Finish(Update(kCrc32Preset, text, length));
    return 0;
}

int CCrc32Static::FileCrc32(const char* path, std::uint32_t& value) {
    value = 0;
    if (path == nullptr) return kCrc32ReadError;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return kCrc32ReadError;
    constexpr std::size_t kChunk = 64 * 1024;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    std::uint32_t reg = kCrc32Preset;
    while (in) {
        in.read(buffer.get(), kChunk);
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        reg = Update(reg, buffer.get(), got);
    }
    value = Finish(reg);
    return in.bad() ? kCrc32ReadError : 0;
}

}  // namespace velquor::digest
