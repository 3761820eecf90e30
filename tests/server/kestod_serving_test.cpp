// What kestod serves with and what it refuses to: a folder, keys or a database others could
// read or change, an expired certificate; SIGHUP reads the certificate and key again and
// serving goes on; a request whose deadline passed while it waited for a worker is not done.
// Every case runs a real kestod; the expired certificate is signed by the folder's own CA.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "temp_dir.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;

// kestod serve on the fixture's folder once more (the fixture stopped): its exit status and
// what it printed, or nothing when it went on serving for 30 s.
std::optional<int> serveAgain(const KestodFixture& server, std::string* output) {
    const auto log = server.directory().parent_path() / "serve-again.txt";
    ChildProcess serve({KestodFixture::binary().string(), "serve", "--dir",
                        server.directory().string(), "--ports", "0,0,0"},
                       log);
    auto status = serve.waitForExit(30s);
    *output = readFile(log);
    return status;
}

void chmodOrFail(const std::filesystem::path& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

TEST(KestodServingTest, FilesOthersCouldReadOrChangeAreRefusedByNameAndMode) {
    KestodFixture server({.store = StoreKind::Sqlite});
    ASSERT_TRUE(server.stop());
    const auto dir = server.directory();
    struct Case {
        std::filesystem::path path;
        mode_t unsafe;
        mode_t safe;
        const char* says;
    };
    const Case cases[] = {
        {dir, 0777, 0700, "is mode 0777"},
        {dir / "server.key", 0644, 0600, "is mode 0644"},
        {dir / "ca" / "ca.key", 0640, 0600, "is mode 0640"},
        {dir / "ca.key", 0644, 0600, "is mode 0644"},  // where an earlier release kept it
        {dir / "kestod.db", 0666, 0600, "is mode 0666"},
    };
    writeFile(dir / "ca.key", "a key of an earlier release's layout\n");
    for (const Case& unsafe : cases) {
        SCOPED_TRACE(unsafe.path.string());
        chmodOrFail(unsafe.path, unsafe.unsafe);
        std::string output;
        EXPECT_EQ(serveAgain(server, &output), 1) << output;
        EXPECT_NE(output.find(unsafe.path.string() + " " + unsafe.says), std::string::npos)
            << output;
        EXPECT_EQ(output.find("serving on"), std::string::npos) << output;
        chmodOrFail(unsafe.path, unsafe.safe);
    }
    server.restart();
    EXPECT_EQ(KestoPeer(server).login("chief", server.chiefPassword()), "YES") << "safe again";
}

struct CertificateShape {
    long startsInDays = -2;
    long endsInDays = -1;
    const char* commonName = "kestod";
    const char* alternativeNames = "IP:127.0.0.1";  // nullptr: none
};

// A server certificate with the folder's key, signed by its CA; by default for 127.0.0.1 and
// ended yesterday.
void writeCertificate(const std::filesystem::path& dir, const CertificateShape& shape = {}) {
    auto readKey = [](const std::filesystem::path& path) {
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
        return PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr);
    };
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> caKey(readKey(dir / "ca" / "ca.key"),
                                                         EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(readKey(dir / "server.key"), EVP_PKEY_free);
    std::unique_ptr<FILE, int (*)(FILE*)> caFile(std::fopen((dir / "cacert.pem").c_str(), "rb"),
                                                 std::fclose);
    std::unique_ptr<X509, void (*)(X509*)> ca(
        PEM_read_X509(caFile.get(), nullptr, nullptr, nullptr), X509_free);
    ASSERT_TRUE(caKey && key && ca);
    std::unique_ptr<X509, void (*)(X509*)> certificate(X509_new(), X509_free);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 4242);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), shape.startsInDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), shape.endsInDays * 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(shape.commonName), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(ca.get()));
    X509_set_pubkey(certificate.get(), key.get());
    if (shape.alternativeNames != nullptr) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, ca.get(), certificate.get(), nullptr, nullptr, 0);
        X509_EXTENSION* names =
            X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, shape.alternativeNames);
        X509_add_ext(certificate.get(), names, -1);
        X509_EXTENSION_free(names);
    }
    ASSERT_GT(X509_sign(certificate.get(), caKey.get(), EVP_sha256()), 0);
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen((dir / "server.pem").c_str(), "wb"),
                                              std::fclose);
    ASSERT_EQ(PEM_write_X509(out.get(), certificate.get()), 1);
}

TEST(KestodServingTest, AnExpiredCertificateIsRefusedAtStartAndNotTakenAtAReload) {
    KestodFixture server({.store = StoreKind::Sqlite});
    const auto dir = server.directory();
    const std::string good = readFile(dir / "server.pem");

    ::kill(server.pid(), SIGHUP);
    EXPECT_NE(logWith(server, "reloaded the server certificate and key").find("reloaded"),
              std::string::npos)
        << server.log();
    const KestoPeer peer(server);
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES") << "still serving";

    writeCertificate(dir);
    ::kill(server.pid(), SIGHUP);
    const std::string log = logWith(server, "reload failed");
    EXPECT_NE(log.find("reload failed, still serving with the certificate and key in use: "
                       "refusing to serve: the server certificate " +
                       (dir / "server.pem").string() + " expired on "),
              std::string::npos)
        << log;
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES") << "with the old certificate";

    ASSERT_TRUE(server.stop());
    std::string output;
    EXPECT_EQ(serveAgain(server, &output), 1) << output;
    EXPECT_NE(
        output.find("the server certificate " + (dir / "server.pem").string() + " expired on "),
        std::string::npos)
        << output;
    EXPECT_EQ(output.find("serving on"), std::string::npos) << output;
    writeFile(dir / "server.pem", good);
}

// Clients match the address only against a certificate's alternative names: one that names
// its address only as its CN is refused saying so. A certificate names what clients connect
// to, not where kestod binds: one for a name that resolves to the served address serves
// quietly, and one nothing of which is or resolves to it serves with one warning at start.
TEST(KestodServingTest, ACertificateIsCheckedAgainstWhatClientsConnectTo) {
    KestodFixture server({.store = StoreKind::Sqlite});
    ASSERT_TRUE(server.stop());
    const auto dir = server.directory();
    const std::string good = readFile(dir / "server.pem");
    const std::string pem = (dir / "server.pem").string();
    writeCertificate(dir, {-1, 300, "127.0.0.1", nullptr});
    std::string output;
    EXPECT_EQ(serveAgain(server, &output), 1) << output;
    EXPECT_NE(output.find("refusing to serve: the server certificate " + pem +
                          " names 127.0.0.1 only as its subject's common name (CN), and clients "
                          "match an address only against a certificate's subject alternative "
                          "names"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("serving on"), std::string::npos) << output;

    const std::string warning = "warning: the server certificate " + pem + " is for ";
    writeCertificate(dir, {-1, 300, "kestod", "DNS:localhost"});
    server.restart();
    EXPECT_EQ(server.log().find(warning), std::string::npos) << "localhost resolves to 127.0.0.1";
    ASSERT_TRUE(server.stop());

    writeCertificate(dir, {-1, 300, "kestod", "IP:127.0.0.2,IP:::1"});
    server.restart();
    const std::string log = server.log();
    EXPECT_NE(log.find(warning + "127.0.0.2, ::1, none of which is or resolves to "
                                 "127.0.0.1, which kestod serves on"),
              std::string::npos)
        << log;
    ASSERT_TRUE(server.stop());
    writeFile(dir / "server.pem", good);
}

// The request log names users and their addresses; a file it goes to is not for everyone.
TEST(KestodServingTest, TheRequestLogFileIsKeptFromOtherAccounts) {
    KestodFixture server;
    EXPECT_EQ(KestoPeer(server).login("chief", server.chiefPassword()), "YES");
    struct stat status {};
    ASSERT_EQ(::stat(server.logFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
}

// One worker, busy with a login whose hash takes long: a request that waits behind it past its
// deadline is answered "RETRY" unexamined, not looked at (and refused for another reason) late.
TEST(KestodDeadlineTest, ARequestThatWaitedPastItsDeadlineForAWorkerIsNotLookedAt) {
    KestodFixture server({.pbkdf2Iterations = 3'000'000,
                          .serveArguments = {"--workers", "1", "--deadline-ms", "300"}});
    const KestoPeer peer(server);
    std::atomic<bool> loginAnswered{false};
    std::thread slowLogin([&] {
        (void)peer.login("chief", server.chiefPassword());
        loginAnswered = true;
    });
    // A request that overtook the login is answered at once ("NOLOGIN"); one sent while the
    // login holds the worker waits, and is the one that must come back "RETRY".
    std::string reply;
    while (reply != "RETRY" && !loginAnswered) {
        reply = peer.device("ADD", macFor("queued"), "s", "chief");
    }
    EXPECT_EQ(reply, "RETRY");
    slowLogin.join();
    const std::string log = logWith(server, "waited for a worker");
    EXPECT_NE(log.find("not done: the deadline passed while the request waited for a worker"),
              std::string::npos)
        << log;
}

// TLS 1.2 only with forward-secret AEAD suites: a client that offers nothing but a CBC suite
// gets no handshake, one that offers AES-GCM or ChaCha20-Poly1305 does.
TEST(KestodServingTest, TlsOneTwoOffersAeadSuitesOnly) {
    KestodFixture server;
    const auto handshakes = [&](const std::string& suite) {
        int status = -1;
        runCommand("openssl s_client -tls1_2 -cipher " + suite + " -connect 127.0.0.1:" +
                       std::to_string(server.loginPort()) + " </dev/null >/dev/null 2>&1",
                   &status);
        return status == 0;
    };
    for (const char* cbc : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES128-SHA256",
                            "ECDHE-ECDSA-AES256-SHA384", "ECDHE-ECDSA-AES256-SHA"}) {
        EXPECT_FALSE(handshakes(cbc)) << cbc;
    }
    for (const char* aead : {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
                             "ECDHE-ECDSA-CHACHA20-POLY1305"}) {
        EXPECT_TRUE(handshakes(aead)) << aead;
    }
}

}  // namespace
}  // namespace velquor::testing
