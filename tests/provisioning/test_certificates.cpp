// Certificate generation for the channel tests, through the openssl command.
#include "test_certificates.h"

#include <gtest/gtest.h>

namespace velquor::provisioning::testing {

using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::writeFile;

TestCertificates::TestCertificates() {
    m_caFile = makeCa("ca");
    makeCa("rogue-ca");
    m_server = makeServer("server", "kesto test server", "IP:127.0.0.1", "ca");
    m_otherCa = makeServer("rogue", "kesto test server", "IP:127.0.0.1", "rogue-ca");
    m_otherAddress = makeServer("elsewhere", "kesto test server", "IP:10.9.9.9", "ca");
    m_nameOnlyInCommonName = makeServer("cn-only", "127.0.0.1", "IP:10.9.9.9", "ca");
    m_commonNameOnly = makeServer("no-san", "127.0.0.1", "", "ca");
    m_localhost = makeServer("localhost", "kesto by name", "DNS:localhost", "ca");
    m_ipv6Loopback = makeServer("ipv6", "kesto over IPv6", "IP:::1", "ca");
}

void TestCertificates::run(const std::string& command) {
    int status = 0;
    const std::string output = runCommand(command + " 2>&1", &status);
    ASSERT_EQ(status, 0) << command << "\n" << output;
}

std::filesystem::path TestCertificates::makeCa(const std::string& name) {
    const auto certificate = m_dir / (name + ".pem");
    const auto key = m_dir / (name + ".key");
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2"
        " -subj " +
        shellQuote("/CN=" + name) +
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
        " -keyout " +
        shellQuote(key.string()) + " -out " + shellQuote(certificate.string()));
    return certificate;
}

CertificateAndKey TestCertificates::makeServer(const std::string& name,
                                               const std::string& commonName,
                                               const std::string& altName, const std::string& ca) {
    CertificateAndKey made{m_dir / (name + ".pem"), m_dir / (name + ".key")};
    const auto request = m_dir / (name + ".csr");
    const auto extensions = m_dir / (name + ".ext");
    writeFile(extensions, (altName.empty() ? "" : "subjectAltName=" + altName + "\n") +
                              "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                              "extendedKeyUsage=serverAuth\n");
    run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj " +
        shellQuote("/CN=" + commonName) + " -keyout " + shellQuote(made.key.string()) + " -out " +
        shellQuote(request.string()));
    run("openssl x509 -req -days 2 -set_serial 0x" + std::to_string(1000 + name.size()) +
        std::to_string(name[0]) + " -in " + shellQuote(request.string()) + " -CA " +
        shellQuote((m_dir / (ca + ".pem")).string()) + " -CAkey " +
        shellQuote((m_dir / (ca + ".key")).string()) + " -extfile " +
        shellQuote(extensions.string()) + " -out " + shellQuote(made.certificate.string()));
    return made;
}

}  // namespace velquor::provisioning::testing
