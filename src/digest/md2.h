// MD2 on 16-byte blocks. A small class that clears itself when made, after Final and when
// destroyed.
#pragma once

#include <cstdint>

namespace velquor::digest {

class CMD2 {
public:
    CMD2();
    virtual ~CMD2();
    CMD2(const CMD2&) = delete;
    CMD2& operator=(const CMD2&) = delete;

    void Init();
    void Update(const void* data, std::uint32_t count);
    // Copies min(length, 16) digest bytes to out, then calls Init.
    void Final(std::uint8_t* out, std::uint32_t length);

    static constexpr std::uint32_t kDigestSize = 16;

private:
    void processBlock(const std::uint8_t* block);

    std::uint8_t m_state[48];
    std::uint8_t m_checksum[16];
    std::uint8_t m_buffer[16];
    std::uint32_t m_count;  // 0..15 between calls
};

}  // namespace velquor::digest
