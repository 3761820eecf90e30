// The phones' CAs: the certificates of the makers' CAs that phones' factory certificates chain
// to, kept in the folder's phone-ca.pem ('kestod init --phone-ca', 'kestod phones --ca'). A
// folder that has them serves the phones' port, whose handshakes ask every client for its
// certificate; the certificate a phone sent is checked here, and the MACs it names read by
// mac's reader.
#pragma once

#include <openssl/ssl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/tls/server_folder.h"
#include "support/result.h"

namespace velquor::server {

// The CA files as one PEM text of their certificates. Refused, with the file and why, when one
// cannot be read, holds no certificate or holds one that is not a CA's.
support::Result<std::string> readPhoneCaFiles(const std::vector<std::filesystem::path>& cas);

// Keeps the certificates of the CA files as the folder's phones' CAs, in place of those it had.
support::Status keepPhoneCas(const ServerFiles& files,
                             const std::vector<std::filesystem::path>& cas);

// The subject of each phones' CA the folder keeps; none when it keeps none.
support::Result<std::vector<std::string>> phoneCaSubjects(const ServerFiles& files);

// What a phone's TLS session proved.
struct PhoneProof {
    bool certificate = false;       // the client sent one
    bool valid = false;             // it chains to a phones' CA and is within its dates
    std::string problem;            // why it is not valid, when sent
    std::vector<std::string> macs;  // valid: the canonical MACs its names hold
};

// The certificate the client of a finished handshake on the phones' port sent, as checked
// during it against the phones' CAs.
PhoneProof phoneProofOf(SSL* ssl);

// The verification the phones' port asks for on a server context: every client is asked for
// its certificate, checked against the phones' CAs; a client without one or with one that
// does not verify still finishes its handshake, so that it can be answered and logged.
support::Status askForPhoneCertificates(SSL_CTX* context, const ServerFiles& files);

}  // namespace velquor::server
