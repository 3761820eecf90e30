// The TLS 1.2 cipher suites the client and the server offer, in OpenSSL's list syntax:
// forward-secret key exchange (ECDHE) with an AEAD cipher (AES-GCM or ChaCha20-Poly1305) only,
// never CBC. TLS 1.3's suites are all of that kind and stay the library's.
#pragma once

namespace velquor::wire {

inline constexpr const char* kTls12CipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

}  // namespace velquor::wire
