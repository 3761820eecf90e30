// Certificates made at test time with the openssl command: a CA and a server certificate for
// 127.0.0.1, and the ways a server certificate can be wrong for that address.
#pragma once

#include <filesystem>
#include <string>

#include "temp_dir.h"

namespace velquor::provisioning::testing {

struct CertificateAndKey {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

class TestCertificates {
public:
    // Makes everything in a temporary folder; fails the calling test when openssl fails.
    TestCertificates();

    const std::filesystem::path& caFile() const { return m_caFile; }
    // Signed by the CA, IP subject-alternative name 127.0.0.1.
    const CertificateAndKey& server() const { return m_server; }
    // Issued for 127.0.0.1 by a CA the client does not trust.
    const CertificateAndKey& otherCa() const { return m_otherCa; }
    // Signed by the CA, but for 10.9.9.9.
    const CertificateAndKey& otherAddress() const { return m_otherAddress; }
    // Signed by the CA, common name 127.0.0.1 but subject-alternative name 10.9.9.9.
    const CertificateAndKey& nameOnlyInCommonName() const { return m_nameOnlyInCommonName; }
    // Signed by the CA, common name 127.0.0.1 and no subject-alternative name at all.
    const CertificateAndKey& commonNameOnly() const { return m_commonNameOnly; }
    // Signed by the CA, for the name localhost only.
    const CertificateAndKey& localhost() const { return m_localhost; }
    // Signed by the CA, for the IPv6 loopback address ::1.
    const CertificateAndKey& ipv6Loopback() const { return m_ipv6Loopback; }

private:
    std::filesystem::path makeCa(const std::string& name);
    CertificateAndKey makeServer(const std::string& name, const std::string& commonName,
                                 const std::string& altName, const std::string& ca);
    void run(const std::string& command);

    velquor::testing::TempDir m_dir;
    std::filesystem::path m_caFile;
    CertificateAndKey m_server;
    CertificateAndKey m_otherCa;
    CertificateAndKey m_otherAddress;
    CertificateAndKey m_nameOnlyInCommonName;
    CertificateAndKey m_commonNameOnly;
    CertificateAndKey m_localhost;
    CertificateAndKey m_ipv6Loopback;
};

}  // namespace velquor::provisioning::testing
