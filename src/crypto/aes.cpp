// CAes: the AES-128 block cipher, one block per call, written step by step after the
// standard so each round step can be checked on its own.
#include "crypto/aes.h"

#include <algorithm>
#include <cstring>

#include "crypto/aes_tables.h"

namespace velquor::crypto {

using detail::kInvSBox;
using detail::kRcon;
using detail::kSBox;

CAes& CAes::Init(int keyLength, const unsigned char* keyBytes) {
    // Only the first 16 bytes ever matter, so longer keys are simply cut there: nothing past
    // the 32-byte staging area is touched whatever length the caller claims.
    unsigned char staging[32] = {};
    const int copied = keyBytes == nullptr ? 0 : std::clamp(keyLength, 0, 16);
    if (copied > 0) std::memcpy(staging, keyBytes, static_cast<std::size_t>(copied));
    Nb = 4;
    Nk = 4;
    Nr = 10;
    std::memcpy(key, staging, 16);
    KeyExpansion();
    return *this;
}

void CAes::KeyExpansion() {
    std::memset(expandedKey, 0, sizeof expandedKey);
    std::memcpy(expandedKey, key, static_cast<std::size_t>(4 * Nk));
    const int words = 4 * (Nr + 1);
    for (int i = Nk; i < words; ++i) {
        unsigned char temp[4];
        std::memcpy(temp, expandedKey + 4 * (i - 1), 4);
        if (i % Nk == 0) {
            RotWord(temp);
            SubWord(temp);
            for (int j = 0; j < 4; ++j) temp[j] ^= kRcon[i / Nk][j];
        } else if (Nk > 6 && i % Nk == 4) {
            SubWord(temp);
        }
        for (int j = 0; j < 4; ++j) {
            expandedKey[4 * i + j] = expandedKey[4 * (i - Nk) + j] ^ temp[j];
        }
    }
}

void CAes::Cipher(const unsigned char* in, unsigned char* out) {
    loadState(in);
    AddRoundKey(0);
    for (int round = 1; round < Nr; ++round) {
        SubBytes();
        ShiftRows();
        MixColumns();
        AddRoundKey(round);
    }
    SubBytes();
    ShiftRows();
    AddRoundKey(Nr);
    storeState(out);
}

void CAes::InvCipher(const unsigned char* in, unsigned char* out) {
    loadState(in);
    AddRoundKey(Nr);
    for (int round = Nr - 1; round >= 1; --round) {
        InvShiftRows();
        InvSubBytes();
        AddRoundKey(round);
        InvMixColumns();
    }
    InvShiftRows();
    InvSubBytes();
    AddRoundKey(0);
    storeState(out);
}

void CAes::loadState(const unsigned char* in) {
    std::memset(state, 0, sizeof state);
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) state[r][c] = in[r + 4 * c];
    }
}

void CAes::storeState(unsigned char* out) const {
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) out[r + 4 * c] = state[r][c];
    }
}

void CAes::AddRoundKey(int round) {
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) state[r][c] ^= expandedKey[16 * round + 4 * c + r];
    }
}

void CAes::SubBytes() {
    for (auto& row : state) {
        for (auto& b : row) b = kSBox[b];
    }
}

void CAes::InvSubBytes() {
    for (auto& row : state) {
        for (auto& b : row) b = kInvSBox[b];
    }
}

void CAes::ShiftRows() {
    unsigned char copy[4][4];
    std::memcpy(copy, state, sizeof copy);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) state[r][c] = copy[r][(c + r) % 4];
    }
}

void CAes::InvShiftRows() {
    unsigned char copy[4][4];
    std::memcpy(copy, state, sizeof copy);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) state[r][c] = copy[r][(c + 4 - r) % 4];
    }
}

void CAes::MixColumns() {
    unsigned char copy[4][4];
    std::memcpy(copy, state, sizeof copy);
    for (int c = 0; c < 4; ++c) {
        const unsigned char s0 = copy[0][c], s1 = copy[1][c], s2 = copy[2][c], s3 = copy[3][c];
        state[0][c] = xtime(s0) ^ (xtime(s1) ^ s1) ^ s2 ^ s3;
        state[1][c] = s0 ^ xtime(s1) ^ (xtime(s2) ^ s2) ^ s3;
        state[2][c] = s0 ^ s1 ^ xtime(s2) ^ (xtime(s3) ^ s3);
        state[3][c] = (xtime(s0) ^ s0) ^ s1 ^ s2 ^ xtime(s3);
    }
}

namespace {

// The four products InvMixColumns needs, each built from xtime as the standard describes.
struct InvProducts {
    unsigned char x9, xb, xd, xe;
};

}  // namespace

void CAes::InvMixColumns() {
    auto products = [](unsigned char b) {
        const unsigned char b2 = xtime(b), b4 = xtime(b2), b8 = xtime(b4);
        return InvProducts{
            static_cast<unsigned char>(b8 ^ b), static_cast<unsigned char>(b8 ^ b2 ^ b),
            static_cast<unsigned char>(b8 ^ b4 ^ b), static_cast<unsigned char>(b8 ^ b4 ^ b2)};
    };
    unsigned char copy[4][4];
    std::memcpy(copy, state, sizeof copy);
    for (int c = 0; c < 4; ++c) {
        const auto p0 = products(copy[0][c]), p1 = products(copy[1][c]);
        const auto p2 = products(copy[2][c]), p3 = products(copy[3][c]);
        state[0][c] = p0.xe ^ p1.xb ^ p2.xd ^ p3.x9;
        state[1][c] = p0.x9 ^ p1.xe ^ p2.xb ^ p3.xd;
        state[2][c] = p0.xd ^ p1.x9 ^ p2.xe ^ p3.xb;
        state[3][c] = p0.xb ^ p1.xd ^ p2.x9 ^ p3.xe;
    }
}

void CAes::SubWord(unsigned char* word) {
    for (int j = 0; j < 4; ++j) word[j] = kSBox[word[j]];
}

void CAes::RotWord(unsigned char* word) {
    const unsigned char first = word[0];
    word[0] = word[1];
    word[1] = word[2];
    word[2] = word[3];
    word[3] = first;
}

unsigned char CAes::xtime(unsigned char b) {
    return static_cast<unsigned char>((b << 1) ^ ((b & 0x80) != 0 ? 0x1b : 0x00));
}

}  // namespace velquor::crypto
