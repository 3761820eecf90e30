// CAes: the AES-128 block cipher (one 16-byte block per call, keyed once), and beside it
// the multi-block path the file operations use, which runs on the processor's AES
// instructions when it has them and gives the same bytes either way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velquor::crypto {

// The bytes of a key text that count: the AES-128 key is its first 16.
inline constexpr std::size_t kKeyBytes = 16;

class CAes {
public:
    // Keys the cipher with the first 16 of keyLength bytes; a shorter key is completed with
    // zero bytes, a negative or zero length gives the all-zero key.
    CAes& Init(int keyLength, const unsigned char* keyBytes);

    // One block each; in and out may be the same buffer.
    void Cipher(const unsigned char* in, unsigned char* out);
    void InvCipher(const unsigned char* in, unsigned char* out);

    // The key schedule, w[0..43] as 4-byte words, byte 0 of a word first.
    const unsigned char* ExpandedKey() const { return expandedKey; }
    int Rounds() const { return Nr; }

private:
    void KeyExpansion();
    void AddRoundKey(int round);
    void SubBytes();
    void InvSubBytes();
    void ShiftRows();
    void InvShiftRows();
    void MixColumns();
    void InvMixColumns();
    void loadState(const unsigned char* in);
    void storeState(unsigned char* out) const;
    static void SubWord(unsigned char* word);
    static void RotWord(unsigned char* word);
    static unsigned char xtime(unsigned char b);

    unsigned char state[4][4] = {};
    std::uint32_t Nb = 4;
    std::int32_t Nk = 4;
    std::int32_t Nr = 10;
    unsigned char key[32] = {};
    unsigned char expandedKey[240] = {};
};

// Which multi-block implementation runs: Auto takes the processor's AES instructions when
// present; Portable forces the table-driven path that runs everywhere (tests compare the two).
enum class AesPath { Auto, Portable };

// The path Auto resolves to on this processor: true when the AES instructions are used.
bool hardwareAesAvailable();

// ECB over whole blocks: each 16-byte block of in on its own into out. in and out may be the
// same buffer (in place) but must not otherwise overlap. Same bytes as CAes::Cipher per block.
void encryptBlocks(const CAes& aes, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                   AesPath path = AesPath::Auto);
void decryptBlocks(const CAes& aes, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                   AesPath path = AesPath::Auto);

}  // namespace velquor::crypto
