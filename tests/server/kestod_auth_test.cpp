// kestod's authorisation rules, storage and listings, against a real kestod over TLS.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "child_process.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "wait_until.h"
#include "wire/device_listing.h"

namespace velquor::testing {
namespace {

class KestodAuthTest : public ::testing::Test {
protected:
    KestodFixture server;
    KestoPeer peer{server};
    KestoPeer otherPeer{server, "127.0.0.2"};

    void addUser(const std::string& name, const std::string& password) {
        ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
        ASSERT_EQ(peer.account("ADD", name, password), "YES");
    }
};

TEST_F(KestodAuthTest, LoginAcceptsOnlyTheRightPassword) {
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(peer.login("chief", "wrong"), "NO");
    EXPECT_EQ(peer.login("Chief", server.chiefPassword()), "NO");
    EXPECT_EQ(peer.login("nobody", server.chiefPassword()), "NO");
    EXPECT_EQ(peer.login("chief", ""), "NO");
}

TEST_F(KestodAuthTest, AccountChangesNeedTheAdministratorsGrantFromTheSameAddress) {
    EXPECT_EQ(peer.account("ADD", "bob", "pw-bob"), "NOLOGIN") << "no login at all";

    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(otherPeer.account("ADD", "bob", "pw-bob"), "NOLOGIN") << "grant of another address";
    EXPECT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    EXPECT_EQ(peer.account("ADD", "bob", "other"), "EXIST");
    EXPECT_EQ(peer.account("ADD", "", "pw"), "INVALID");
    EXPECT_EQ(peer.account("ADD", "carol", ""), "INVALID");
    EXPECT_EQ(peer.account("ADD", "dave", "pw-dave"), "YES");

    // An ordinary user's grant does not allow administration.
    ASSERT_EQ(otherPeer.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(otherPeer.account("ADD", "eve", "pw"), "NOLOGIN");
    EXPECT_EQ(otherPeer.account("DEL", "dave"), "NOLOGIN");

    EXPECT_EQ(peer.account("DEL", "chief"), "NO");
    EXPECT_EQ(peer.account("DEL", "nobody"), "NO");
    EXPECT_EQ(peer.account("DEL", "dave"), "YES");
    EXPECT_EQ(peer.login("dave", "pw-dave"), "NO");
    EXPECT_EQ(peer.account("XYZ", "bob", "pw"), "NO");
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES") << "chief still there";
}

TEST_F(KestodAuthTest, PasswordChangeNeedsTheUsersOwnGrant) {
    addUser("bob", "old-bob");
    addUser("alice", "pw-alice");
    EXPECT_EQ(otherPeer.account("UP", "bob", "new-bob"), "NOLOGIN") << "no login from there";
    ASSERT_EQ(otherPeer.login("alice", "pw-alice"), "YES");
    EXPECT_EQ(otherPeer.account("UP", "bob", "new-bob"), "NOLOGIN") << "another user's grant";
    EXPECT_EQ(peer.account("UP", "bob", "new-bob"), "NOLOGIN") << "chief's grant is not bob's";

    ASSERT_EQ(otherPeer.login("bob", "old-bob"), "YES");
    EXPECT_EQ(otherPeer.account("UP", "bob", ""), "INVALID");
    EXPECT_EQ(otherPeer.account("UP", "bob", "new-bob"), "YES");
    EXPECT_EQ(otherPeer.login("bob", "old-bob"), "NO");
    EXPECT_EQ(otherPeer.login("bob", "new-bob"), "YES");
}

TEST_F(KestodAuthTest, DeviceRequestsActForTheUserWhoseGrantTheyCarry) {
    addUser("bob", "pw-bob");
    addUser("alice", "pw-alice");
    const std::string mac = "00:11:22:33:44:55";
    EXPECT_EQ(peer.device("ADD", mac, "sip.example", "bob"), "NOLOGIN") << "no login of bob";
    ASSERT_EQ(otherPeer.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(peer.device("ADD", mac, "sip.example", "bob"), "NOLOGIN")
        << "bob's grant is elsewhere";
    EXPECT_EQ(otherPeer.device("ADD", mac, "sip.example", "bob"), "YES");
    EXPECT_EQ(otherPeer.device("ADD", mac, "sip.other", "bob"), "EXIST");
    EXPECT_EQ(otherPeer.device("ADD", "", "sip.example", "bob"), "INVALID");

    ASSERT_EQ(peer.login("alice", "pw-alice"), "YES");
    EXPECT_EQ(peer.device("ADD", mac, "sip.alice", "alice"), "EXIST") << "registered by anyone";
    EXPECT_EQ(peer.device("UP", mac, "sip.alice", "alice"), "NO") << "not alice's";
    EXPECT_EQ(peer.device("DEL", mac, "", "alice"), "NO") << "not alice's";
    EXPECT_EQ(peer.device("FOO", mac, "", "alice"), "NO");

    EXPECT_EQ(otherPeer.device("UP", mac, "sip.replaced", "bob"), "YES");
    const std::string listing = server.runTool({"devices"});
    EXPECT_NE(listing.find("001122334455\tbob\tsip.replaced"), std::string::npos) << listing;
    EXPECT_EQ(otherPeer.device("DEL", mac, "", "bob"), "YES");
    EXPECT_EQ(otherPeer.device("DEL", mac, "", "bob"), "NO");
    EXPECT_EQ(otherPeer.device("UP", mac, "x", "bob"), "NO");
    EXPECT_EQ(peer.device("ADD", mac, "sip.alice", "alice"), "YES") << "free again";
}

TEST_F(KestodAuthTest, DeletingAUserEndsTheirGrant) {
    addUser("bob", "pw-bob");
    ASSERT_EQ(otherPeer.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(otherPeer.device("ADD", macFor("aa:aa"), "s", "bob"), "YES");
    ASSERT_EQ(peer.account("DEL", "bob"), "YES");
    EXPECT_EQ(otherPeer.device("ADD", macFor("bb:bb"), "s", "bob"), "NOLOGIN");
    // The registration made before is kept: deleting an account does not unprovision phones.
    EXPECT_NE(server.runTool({"devices"}).find(macFor("aa:aa") + "\tbob"), std::string::npos);
}

// Clients send names and texts in their own 8-bit code page; they are kept as the bytes sent.
TEST_F(KestodAuthTest, NamesAndTextsAreKeptAsTheBytesSent) {
    const std::string name = "\xd5\xc5\xc8\xfd";  // a name in GBK, not UTF-8
    const std::string serverText = "sip.\xb7\xfe\xce\xf1";
    addUser(name, "pw-\xff");
    KestoPeer viaOther(server, "127.0.0.2");
    ASSERT_EQ(viaOther.login(name, "pw-\xff"), "YES");
    EXPECT_EQ(viaOther.login(name, "pw-\xfe"), "NO");
    ASSERT_EQ(viaOther.device("ADD", macFor("mac-\x80"), serverText, name), "YES");
    EXPECT_EQ(viaOther.device("ADD", macFor("mac-\x80"), serverText, name), "EXIST");
    EXPECT_EQ(viaOther.device("ADD", macFor("mac-\x81"), serverText, "\xd5\xc5"), "NOLOGIN");
    const std::string devices = server.runTool({"devices"});
    EXPECT_NE(
        devices.find(macFor("mac-\x80") + "\t\\xd5\\xc5\\xc8\\xfd\tsip.\\xb7\\xfe\\xce\\xf1\t"),
        std::string::npos)
        << devices;
}

TEST_F(KestodAuthTest, UsersListingShowsAccountsAndDeviceCounts) {
    addUser("bob", "pw-bob");
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.device("ADD", macFor("m1"), "s", "bob"), "YES");
    ASSERT_EQ(peer.device("ADD", macFor("m2"), "s", "bob"), "YES");
    int status = -1;
    const std::string users = server.runTool({"users"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(users.rfind("user\tcreated\tdevices\tfailed logins\n", 0), 0u) << users;
    EXPECT_NE(users.find("\nbob\t"), std::string::npos);
    EXPECT_NE(users.find("\t2\n"), std::string::npos) << users;
    EXPECT_NE(users.find("\nchief\t"), std::string::npos);
}

TEST_F(KestodAuthTest, LogHasOneLinePerRequestAndNeverAPassword) {
    addUser("bob", "secret-of-bob");
    ASSERT_EQ(peer.login("bob", "wrong-guess-xyz"), "NO");
    ASSERT_EQ(peer.login("bob", "secret-of-bob"), "YES");
    ASSERT_EQ(peer.device("ADD", "DE:AD:BE:EF:00:01", "srv", "bob"), "YES");
    // Lines are written after the reply; give the worker a moment to finish its line.
    std::string log;
    for (int i = 0; i < 100; ++i) {
        log = server.log();
        if (log.find("deadbeef0001") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(log.find("secret-of-bob"), std::string::npos);
    EXPECT_EQ(log.find("wrong-guess-xyz"), std::string::npos);
    EXPECT_EQ(log.find(server.chiefPassword()), std::string::npos);
    EXPECT_NE(log.find("peer=127.0.0.1 port=" + std::to_string(server.devicePort()) +
                       " op=ADD user=\"bob\" mac=\"deadbeef0001\" reply=YES"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("op=LOGIN user=\"bob\" mac=\"\" reply=NO"), std::string::npos) << log;
}

// Waits (10 s at most) until the server refuses user's own listing, which changes nothing, as
// not logged in: the grant has lapsed.
bool grantLapsed(const KestodFixture& server, const KestoPeer& peer, const std::string& user) {
    const auto request = wire::buildListingRequest({user, "", 0, ""});
    return waitUntil(
        [&] { return peer.send(server.devicePort(), wire::recordBytes(*request)) == "NOLOGIN"; },
        std::chrono::seconds(10));
}

TEST(KestodGrantTest, AnExpiredGrantAllowsNothing) {
    // Long enough for the login and the request after it on a busy machine under the
    // sanitizers; the test waits for the lapse, not for a time.
    KestodFixture server({.serveArguments = {"--grant-ms", "3000"}});
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw"), "YES");
    ASSERT_TRUE(grantLapsed(server, peer, "chief"));
    EXPECT_EQ(peer.account("ADD", "carol", "pw"), "NOLOGIN");
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(peer.account("ADD", "carol", "pw"), "YES");
}

TEST(KestodThrottleTest, RepeatedFailuresLockTheNameButNotOthers) {
    KestodFixture server({.serveArguments = {"--max-failed-logins-per-name", "3",
                                             "--max-failed-logins-per-address", "100"}});
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(peer.login("chief", "guess"), "NO");
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "RETRY") << "locked for a while";
    EXPECT_EQ(peer.login("bob", "pw-bob"), "YES");
}

TEST(KestodThrottleTest, RepeatedFailuresFromOneAddressLockThatAddress) {
    KestodFixture server({.serveArguments = {"--max-failed-logins-per-name", "100",
                                             "--max-failed-logins-per-address", "3"}});
    KestoPeer peer(server);
    KestoPeer otherPeer(server, "127.0.0.2");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(peer.login("user" + std::to_string(i), "x"), "NO");
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "RETRY");
    EXPECT_EQ(otherPeer.login("chief", server.chiefPassword()), "YES");
}

TEST(KestodPersistenceTest, AccountsAndRegistrationsSurviveARestartAndACrash) {
    KestodFixture server;
    {
        KestoPeer peer(server);
        ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
        ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
        ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
        ASSERT_EQ(peer.device("ADD", macFor("11:11"), "s1", "bob"), "YES");
    }
    EXPECT_TRUE(server.stop()) << "a clean exit on SIGTERM";
    server.restart();
    KestoPeer peer(server);
    // The one server of an SQLite folder ends its logins with it; on a shared database the
    // other instances go on serving them.
    EXPECT_EQ(peer.device("ADD", macFor("22:22"), "s2", "bob"),
              server.store() == StoreKind::Sqlite ? "NOLOGIN" : "YES");
    ASSERT_EQ(peer.device("DEL", macFor("22:22"), "", "bob"),
              server.store() == StoreKind::Sqlite ? "NOLOGIN" : "YES");
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(peer.device("ADD", macFor("11:11"), "s1", "bob"), "EXIST");
    ASSERT_EQ(peer.device("ADD", macFor("22:22"), "s2", "bob"), "YES");

    server.kill();
    server.restart();
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(peer.device("ADD", macFor("22:22"), "s2", "bob"), "EXIST");
    const std::string devices = server.runTool({"devices"});
    EXPECT_NE(devices.find(macFor("11:11") + "\tbob\ts1"), std::string::npos) << devices;
    EXPECT_NE(devices.find(macFor("22:22") + "\tbob\ts2"), std::string::npos) << devices;
}

TEST(KestodInitTest, MakesKeysCertificatesAndRefusesToOverwriteThem) {
    KestodFixture server;
    const auto& dir = server.directory();
    for (const auto& [file, mode] : {std::pair<const char*, unsigned>{"ca/ca.key", 0600},
                                     {"server.key", 0600},
                                     {"ca", 0700}}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / file).c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, mode) << file;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "ca.key")) << "the CA's key is kept apart";
    // The certificate is checked by an independent verifier, address included.
    int status = -1;
    const std::string verify = runCommand(
        "openssl verify -CAfile " + shellQuote(server.caCertPath().string()) +
            " -verify_ip 127.0.0.1 " + shellQuote((dir / "server.pem").string()) + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << verify;
    const std::string wrongAddress = runCommand(
        "openssl verify -CAfile " + shellQuote(server.caCertPath().string()) +
            " -verify_ip 127.0.0.9 " + shellQuote((dir / "server.pem").string()) + " 2>&1",
        &status);
    EXPECT_NE(status, 0) << wrongAddress;

    const std::string before = readFile(dir / "ca" / "ca.key");
    const std::string again = runCommand(shellQuote(KestodFixture::binary().string()) +
                                             " init --dir " + shellQuote(dir.string()) + " 2>&1",
                                         &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(again.find("--force"), std::string::npos) << again;
    EXPECT_EQ(readFile(dir / "ca" / "ca.key"), before);
}

// The CA's key is init's only: kept where --ca-dir says, and a serving folder without it (a
// copy for another instance) serves.
TEST(KestodInitTest, TheCasKeyIsKeptApartAndServingDoesWithoutIt) {
    TempDir dir;
    writeFile(dir / "pw", "chief-pw\n");
    const auto folder = dir / "srv";
    int status = -1;
    const std::string init =
        runCommand(shellQuote(KestodFixture::binary().string()) + " init --dir " +
                       shellQuote(folder.string()) + " --ca-dir " +
                       shellQuote((dir / "offline").string()) + " --admin-password-file " +
                       shellQuote((dir / "pw").string()) + " --pbkdf2-iterations 1000 2>&1",
                   &status);
    ASSERT_EQ(status, 0) << init;
    EXPECT_NE(init.find("the CA's key is " + (dir / "offline" / "ca.key").string() +
                        "; only init needs it"),
              std::string::npos)
        << init;
    EXPECT_TRUE(std::filesystem::exists(dir / "offline" / "ca.key"));
    EXPECT_FALSE(std::filesystem::exists(folder / "ca.key"));
    EXPECT_FALSE(std::filesystem::exists(folder / "ca"));
    const std::string verify =
        runCommand("openssl verify -CAfile " + shellQuote((folder / "cacert.pem").string()) + " " +
                   shellQuote((folder / "server.pem").string()) + " 2>&1");
    EXPECT_NE(verify.find(": OK"), std::string::npos) << verify;

    KestodFixture server;
    std::filesystem::remove_all(server.directory() / "ca");
    server.restart();
    EXPECT_EQ(KestoPeer(server).login("chief", server.chiefPassword()), "YES");
}

// Names and addresses, repeated or listed, each go into the certificate as what they are, and
// serve listens on what a name resolves to.
TEST(KestodInitTest, TheCertificateNamesEveryAddressAndNameGiven) {
    TempDir dir;
    writeFile(dir / "pw", "chief-pw\n");
    const auto folder = dir / "srv";
    int status = -1;
    const std::string init =
        runCommand(shellQuote(KestodFixture::binary().string()) + " init --dir " +
                       shellQuote(folder.string()) +
                       " --address localhost --address 127.0.0.1,::1 --address kesto.example.com"
                       " --admin-password-file " +
                       shellQuote((dir / "pw").string()) + " --pbkdf2-iterations 1000 2>&1",
                   &status);
    ASSERT_EQ(status, 0) << init;
    const std::string verify =
        "openssl verify -CAfile " + shellQuote((folder / "cacert.pem").string());
    const std::string cert = " " + shellQuote((folder / "server.pem").string()) + " 2>&1";
    for (const char* check : {"-verify_hostname localhost", "-verify_hostname kesto.example.com",
                              "-verify_ip 127.0.0.1", "-verify_ip ::1"}) {
        const std::string output = runCommand(verify + " " + check + cert, &status);
        EXPECT_EQ(status, 0) << check << "\n" << output;
    }
    for (const char* check : {"-verify_hostname other.example.com", "-verify_ip 127.0.0.2",
                              "-verify_hostname 127.0.0.1"}) {
        runCommand(verify + " " + check + cert, &status);
        EXPECT_NE(status, 0) << check << " is not certified";
    }

    // serve on the name: every address it stands for, the ports printed once.
    ChildProcess serve({KestodFixture::binary().string(), "serve", "--dir", folder.string(),
                        "--address", "localhost", "--ports", "0,0,0", "--deadline-ms", "500"},
                       dir / "serve.txt");
    std::string ready;
    for (int i = 0; i < 500 && ready.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ready = readFile(dir / "serve.txt");
    }
    unsigned login = 0, account = 0, device = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "kestod: serving on localhost ports %u,%u,%u", &login,
                          &account, &device),
              3)
        << ready;
    // Nothing is sent: the server closes at its short deadline, after the handshake.
    const auto outcome = tlsExchange("127.0.0.1", static_cast<std::uint16_t>(login),
                                     (folder / "cacert.pem").string(), "");
    EXPECT_TRUE(outcome.handshakeDone) << outcome.error;
    serve.sendSignal(SIGTERM);
    EXPECT_EQ(serve.waitForExit(std::chrono::seconds(30)), 0);
}

TEST(KestodInitTest, WithoutAPasswordFileAGeneratedPasswordIsShownOnceAndWorks) {
    KestodFixture server;
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.device("ADD", macFor("cc:cc"), "s", "bob"), "YES");
    server.stop();

    int status = -1;
    std::string command = shellQuote(KestodFixture::binary().string()) + " init --force --dir " +
                          shellQuote(server.directory().string()) + " --pbkdf2-iterations 1000";
    for (const auto& argument : server.storeArguments()) command += " " + shellQuote(argument);
    const std::string output = runCommand(command, &status);
    ASSERT_EQ(status, 0) << output;
    const std::string marker = "(shown only now, keep it): ";
    const auto at = output.find(marker);
    ASSERT_NE(at, std::string::npos) << output;
    const std::string generated = output.substr(at + marker.size(), 20);
    EXPECT_EQ(output.size(), at + marker.size() + 21) << "the password line ends the output";

    server.restart();
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "NO");
    EXPECT_EQ(peer.login("chief", generated), "YES");
    EXPECT_EQ(peer.login("bob", "pw-bob"), "YES") << "accounts kept by --force";
    EXPECT_EQ(peer.device("ADD", macFor("cc:cc"), "s", "bob"), "EXIST") << "registrations kept";
}

}  // namespace
}  // namespace velquor::testing
