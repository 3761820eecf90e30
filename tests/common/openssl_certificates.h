// Certificates openssl makes for a test: a server's for 127.0.0.1, a CA, and phones'
// certificates it issues, for the phone server's and kestod's phones' port tests alike.
#pragma once

#include <filesystem>
#include <string>

namespace velquor::testing {

struct TestCertificate {
    std::string certificate;  // PEM files
    std::string key;
};

// A self-signed P-256 certificate for 127.0.0.1 that openssl makes in folder; empty paths when
// it could not.
TestCertificate makeCertificate(const std::filesystem::path& folder);

// A CA that openssl makes in folder/name (ca.pem, ca.key and what openssl ca keeps), able to
// issue phones' certificates within any dates; empty paths when it could not.
struct TestCa {
    std::filesystem::path dir;
    std::string certificate;
    std::string key;
};
TestCa makeCa(const std::filesystem::path& folder, const std::string& name);

// What a phone's certificate says: its subject (openssl's /CN=... form), its subject
// alternative names (openssl's DNS:...,URI:... form, or none) and whether its dates are long
// past.
struct PhoneIdentity {
    std::string subject;
    std::string altNames;
    bool expired = false;
};

// A P-256 certificate and key for identity, issued by ca, in ca.dir/name.pem and name.key.
TestCertificate issueCertificate(const TestCa& ca, const std::string& name,
                                 const PhoneIdentity& identity);

}  // namespace velquor::testing
