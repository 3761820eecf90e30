// Run-time choice between the portable code and the processor's own instructions (SHA
// extensions for SHA-1/SHA-256, carry-less multiply for CRC-32, AVX-512 for SHA-512, AVX-512 or
// AVX2 lanes for MD5 of many messages at once). Tests switch the accelerated paths off to check
// the portable code on every machine.
#pragma once

namespace velquor::digest {

struct Acceleration {
    bool sha = false;         // SHA-1 and SHA-256 instructions
    bool crc32 = false;       // PCLMULQDQ folding
    bool sha512 = false;      // AVX-512VL message schedule for SHA-384/512
    bool md5Lanes16 = false;  // AVX-512F: 16 messages' MD5 side by side
    bool md5Lanes8 = false;   // AVX2: 8 of them
};

// What this processor offers.
Acceleration availableAcceleration();
// What the units use now: available & allowed. All allowed at start.
Acceleration activeAcceleration();
// Allows (true) or forbids (false) every accelerated path. Not for use while digests run.
void setAccelerationAllowed(bool allowed);

}  // namespace velquor::digest
