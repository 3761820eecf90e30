// CRC-32 (IEEE 802.3: reflected polynomial 0xEDB88320, register preset to all ones, result
// inverted). CCrc32Static keeps no data: the register belongs to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velquor::digest {

// FileCrc32's code when the file could not be opened or a read failed.
inline constexpr int kCrc32ReadError = 23;

class CCrc32Static {
public:
    virtual ~CCrc32Static() = default;

    // Stores the CRC-32 of the zero-terminated text in value; returns 0.
    static int TextCrc32(const char* text, std::uint32_t& value);
    // Stores the CRC-32 of the file in value; returns 0, or kCrc32ReadError when the file could
    // not be opened or a read failed (value then covers the bytes read, 0 for an unopened file).
    static int FileCrc32(const char* path, std::uint32_t& value);

    // Streaming form: start from kCrc32Preset, update with every piece, finish by inverting.
    static constexpr std::uint32_t kCrc32Preset = 0xFFFFFFFFu;
    static std::uint32_t Update(std::uint32_t reg, const void* data, std::size_t count);
    static std::uint32_t Finish(std::uint32_t reg) { return ~reg; }
};

}  // namespace velquor::digest
