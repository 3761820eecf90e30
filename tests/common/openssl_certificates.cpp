// Certificates made by openssl; see test_certificates.h.
#include "openssl_certificates.h"

#include "temp_dir.h"

namespace velquor::testing {

TestCertificate makeCertificate(const std::filesystem::path& folder) {
    const TestCertificate made{(folder / "cert.pem").string(), (folder / "key.pem").string()};
    int status = -1;
    runCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
            shellQuote(made.key) + " -out " + shellQuote(made.certificate) + " 2>&1",
        &status);
    return status == 0 ? made : TestCertificate{};
}

TestCa makeCa(const std::filesystem::path& folder, const std::string& name) {
    const std::filesystem::path dir = folder / name;
    std::filesystem::create_directories(dir);
    const TestCa made{dir, (dir / "ca.pem").string(), (dir / "ca.key").string()};
    writeFile(dir / "index.txt", "");
    writeFile(dir / "serial", "1000\n");
    writeFile(dir / "ca.cnf",
              "[ca]\ndefault_ca = phones\n"
              "[phones]\ndir = " +
                  dir.string() +
                  "\ndatabase = $dir/index.txt\nnew_certs_dir = $dir\nserial = $dir/serial\n"
                  "default_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                  "unique_subject = no\n"
                  "[any]\ncommonName = optional\n");
    int status = -1;
    runCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 "
        "-subj " +
            shellQuote("/CN=" + name) + " -keyout " + shellQuote(made.key) + " -out " +
            shellQuote(made.certificate) + " 2>&1",
        &status);
    return status == 0 ? made : TestCa{};
}

TestCertificate issueCertificate(const TestCa& ca, const std::string& name,
                                 const PhoneIdentity& identity) {
    const TestCertificate made{(ca.dir / (name + ".pem")).string(),
                               (ca.dir / (name + ".key")).string()};
    const std::string request = (ca.dir / (name + ".csr")).string();
    const std::string altNames =
        identity.altNames.empty() ? ""
                                  : " -addext " + shellQuote("subjectAltName=" + identity.altNames);
    const std::string dates =
        identity.expired ? " -startdate 20200101000000Z -enddate 20200201000000Z" : " -days 2";
    int status = -1;
    runCommand("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj " +
                   shellQuote(identity.subject) + altNames + " -keyout " + shellQuote(made.key) +
                   " -out " + shellQuote(request) + " 2>&1 && openssl ca -batch -notext -config " +
                   shellQuote((ca.dir / "ca.cnf").string()) + " -cert " +
                   shellQuote(ca.certificate) + " -keyfile " + shellQuote(ca.key) + dates +
                   " -in " + shellQuote(request) + " -out " + shellQuote(made.certificate) +
                   " 2>&1",
               &status);
    return status == 0 ? made : TestCertificate{};
}

}  // namespace velquor::testing
