// Phones' certificates: a phone proves itself with the certificate its maker put in it, issued
// under one of the site's phones' CAs, and gets its own files only. Here: the CA files read,
// a TLS client's certificate checked once (chain, dates) and the MACs it names found in its
// subject's common name and its subject alternative names, and the decision for one request.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "mac/names_in_text.h"
#include "support/result.h"

namespace velquor::serve {

// The MACs a certificate's name text holds: mac's one reading of them.
using mac::macsNamedIn;

// The phones' CA files as one PEM text of their certificates, for the TLS library's trust
// list. Refused, with the file and why, when one cannot be read or holds no certificate.
support::Result<std::string> readPhoneCas(const std::vector<std::filesystem::path>& files);

enum class CertificateVerdict {
    Missing,      // the client sent none
    Valid,        // chains to a phones' CA, within its dates
    Expired,      // past its end (or a certificate of its chain is)
    NotYetValid,  // before its start
    NotFromCa,    // issued by no phones' CA
    Invalid,      // anything else: a bad signature, a revoked or unusable certificate
};

// A TLS client's certificate as checked once for its connection.
struct PhoneCertificate {
    CertificateVerdict verdict = CertificateVerdict::Missing;
    std::vector<std::string> macs;  // canonical, those its names hold
    std::string problem;            // for Invalid, the TLS library's words
};

// The certificate the client of a TLS session (a gnutls_session_t) sent, checked against the
// trust list of the session's credentials (the phones' CAs) and the time now.
PhoneCertificate checkPhoneCertificate(void* tlsSession);

// What one request may have, by its client's certificate.
struct CertificateDecision {
    bool allowed = false;
    std::string proof;    // allowed: "cert:<mac>" (the asked MAC, else the first it names)
    std::string refusal;  // refused: why, for the log and the status
};

// A file whose name holds a MAC (askedMac, canonical) goes only to a valid certificate naming
// that MAC; any other file to any valid certificate.
CertificateDecision decideByCertificate(const PhoneCertificate& certificate,
                                        std::string_view askedMac);

}  // namespace velquor::serve
