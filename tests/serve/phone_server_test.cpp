// The phone server on loopback answering real clients: curl for what phones ask, Python for
// requests no well-behaved client sends, openssl's certificate for HTTPS.
#include "serve/server/phone_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <map>

#include "child_process.h"
#include "serve/log/fetch_log_reader.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;

class PhoneServerTest : public ::testing::Test {
protected:
    void SetUp() override { writeSiteFolder(m_dir / "site"); }

    std::unique_ptr<PhoneServer> start(ServeOptions options = {}) {
        serveOnLoopback(options, m_dir.path());
        if (options.logFile.empty()) options.logFile = m_dir / "fetch.csv";
        auto server = PhoneServer::start(std::move(options));
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    std::vector<FetchRecord> logged() { return loggedRecords(m_dir / "fetch.csv"); }

    TempDir m_dir;
};

TEST_F(PhoneServerTest, EachPhoneGetsItsFileInAnySpellingAndNothingElseLeavesTheFolder) {
    std::filesystem::create_symlink("/etc/passwd", m_dir / "site" / "passwd");
    std::filesystem::create_symlink("common.cfg", m_dir / "site" / "shared.cfg");
    std::filesystem::create_directory(m_dir / "site" / "sub");
    writeFile(m_dir / "site" / "sub" / "inner.cfg", "inner");
    writeFile(m_dir / "site" / ".hidden", "dot file");
    ASSERT_EQ(::mkfifo((m_dir / "site" / "pipe.cfg").c_str(), 0600), 0);
    ServeOptions options;
    options.site = {"001a2b3c4d5e", "0015650a33fb", "001122334455"};
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();

    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").body, "<config phone=\"1\"/>\n");
    EXPECT_EQ(curlGet(port, "/prov/0015650A33FB.xml").body, "<config phone=\"2\"/>\n");
    EXPECT_EQ(curlGet(port, "/p/00-15-65-0A-33-FB.XML").body, "<config phone=\"2\"/>\n");
    EXPECT_EQ(curlGet(port, "/x/00%3a1a%3a2b%3a3c%3a4d%3a5e.xml").body, "<config phone=\"1\"/>\n");
    EXPECT_EQ(curlGet(port, "/common.cfg").body, "shared settings\n");
    EXPECT_EQ(curlGet(port, "/shared.cfg").body, "shared settings\n");  // a link inside
    int asker = 0;
    for (const char* path :
         {"/", "/prov/", "/../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd",
          "/.hidden", "/%2ehidden", "/001A2B3C4D5E.cfg", "/passwd", "/sub", "/sub/inner.cfg",
          "/pipe.cfg", "/common.cfg%00.xml", "/COMMON.CFG", "/a/..%2Fcommon.cfg"}) {
        // Each from an address of its own, which the guessing guard would hold back otherwise.
        const HttpAnswer answer =
            curlGet(port, path, "--interface 127.0.1." + std::to_string(++asker));
        EXPECT_TRUE(answer.status == 404 || answer.status == 400) << path << " " << answer.status;
        EXPECT_EQ(answer.body.find("root:"), std::string::npos) << path;
    }
    const HttpAnswer head = curlGet(port, "/common.cfg", "-I");
    EXPECT_EQ(head.status, 200);
    EXPECT_NE(head.body.find("Content-Length: 16\r\n"), std::string::npos) << head.body;
    EXPECT_EQ(curlGet(port, "/common.cfg", "-X POST -d a=1").status, 405);
    EXPECT_EQ(curlGet(port, "/common.cfg", "-X DELETE").status, 405);

    // Under another file-name pattern only its names are a phone's.
    {
        ServeOptions cfg;
        cfg.fileName = *mac::FileNamePattern::parse("cfg{mac}.boot");
        cfg.logFile = m_dir / "other.csv";
        writeFile(m_dir / "site" / "cfg00156500AAAA.boot", "boot file");
        auto other = start(cfg);
        ASSERT_TRUE(other);
        EXPECT_EQ(curlGet(other->port(), "/CFG00-15-65-00-aa-aa.BOOT").body, "boot file");
        EXPECT_EQ(curlGet(other->port(), "/001a2b3c4d5e.xml").status, 404);
        EXPECT_EQ(curlGet(other->port(), "/001A2B3C4D5E.xml").status, 200);  // its exact name
    }

    // A file written again is served new at once; so is one a new run adds.
    writeFile(m_dir / "site" / "001A2B3C4D5E.xml", "<config phone=\"1\" v=\"2\"/>\n");
    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").body, "<config phone=\"1\" v=\"2\"/>\n");
    writeFile(m_dir / "site" / "001122334455.xml", "<config phone=\"3\"/>\n");
    EXPECT_EQ(curlGet(port, "/001122334455.XML").body, "<config phone=\"3\"/>\n");
    server->stop();

    const std::vector<FetchRecord> records = logged();
    // Every request is there: on a line of its own, or counted on a summary line (the names
    // that are no phone of the site after the first in an interval).
    std::uint64_t requests = 0;
    for (const FetchRecord& record : records) requests += record.isSummary() ? record.more : 1;
    ASSERT_EQ(requests, server->requestCount());
    EXPECT_EQ(records[0].mac, "001a2b3c4d5e");
    EXPECT_EQ(records[0].file, "001A2B3C4D5E.xml");
    EXPECT_EQ(records[0].path, "/001a2b3c4d5e.xml");
    EXPECT_TRUE(records[0].fetched());
    EXPECT_EQ(records[0].bytes, 20u);
    EXPECT_EQ(records[0].peer, "127.0.0.1");
    EXPECT_EQ(records[0].userAgent.substr(0, 5), "curl/");
    const auto encoded = std::find_if(records.begin(), records.end(), [](const FetchRecord& r) {
        return r.path == "/x/00%3a1a%3a2b%3a3c%3a4d%3a5e.xml";
    });
    ASSERT_NE(encoded, records.end());
    EXPECT_EQ(encoded->status, 200);

    const ServeSnapshot snapshot = server->snapshot();
    for (const PhoneStatus& phone : snapshot.phones) EXPECT_EQ(phone.state, PhoneState::Fetched);
    EXPECT_EQ(snapshot.phones[0].fetches, 3u);
}

// A configuration-sized file goes out from memory with its header, a larger one from the file
// itself: both, and the sizes at the edge between them, arrive whole, byte for byte.
TEST_F(PhoneServerTest, FilesOfEverySizeArriveWhole) {
    std::map<std::string, std::string> files;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{16383},
                                   std::size_t{16384}, std::size_t{16385}, std::size_t{300001}}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) % 256);
        const std::string name = "size" + std::to_string(size) + ".bin";
        writeFile(m_dir / "site" / name, bytes);
        files[name] = bytes;
    }
    auto server = start();
    ASSERT_TRUE(server);
    for (const auto& [name, bytes] : files) {
        const HttpAnswer answer = curlGet(server->port(), "/" + name);
        EXPECT_EQ(answer.status, 200) << name;
        EXPECT_TRUE(answer.body == bytes) << name << ": " << answer.body.size() << " bytes";
        const HttpAnswer head = curlGet(server->port(), "/" + name, "-I");
        EXPECT_NE(head.body.find("Content-Length: " + std::to_string(bytes.size()) + "\r\n"),
                  std::string::npos)
            << name << ": " << head.body;
    }
    server->stop();
    for (const FetchRecord& record : logged()) {
        if (record.method == "GET") {
            EXPECT_EQ(record.bytes, files[record.file].size()) << record.file;
        }
    }
}

TEST_F(PhoneServerTest, TheLogReadBackAfterARestartRestoresEveryStatus) {
    ServeOptions options;
    options.site = {"001a2b3c4d5e", "0015650a33fb", "001122334455"};
    {
        auto server = start(options);
        ASSERT_TRUE(server);
        EXPECT_EQ(curlGet(server->port(), "/001A2B3C4D5E.xml").status, 200);
        EXPECT_EQ(curlGet(server->port(), "/001122334455.cfg").status, 404);
        EXPECT_EQ(curlGet(server->port(), "/00aabbccddee.xml").status, 404);
    }
    auto server = start(options);
    ASSERT_TRUE(server);
    ServeSnapshot snapshot = server->snapshot();
    EXPECT_EQ(snapshot.phones[0].state, PhoneState::Fetched);
    EXPECT_EQ(snapshot.phones[1].state, PhoneState::Waiting);
    EXPECT_EQ(snapshot.phones[2].state, PhoneState::AskedNotFound);
    EXPECT_EQ(snapshot.phones[2].askedName, "001122334455.cfg");
    EXPECT_EQ(snapshot.counts.unknownRequests, 1u);
    EXPECT_EQ(curlGet(server->port(), "/0015650a33fb.xml").status, 200);
    server->stop();
    snapshot = server->snapshot();
    EXPECT_EQ(snapshot.counts.fetched, 2u);
    EXPECT_EQ(logged().size(), 4u);
}

TEST_F(PhoneServerTest, PeersOutsideTheAllowedRangesGet403AndAreLogged) {
    ServeOptions options;
    options.allowed.add(*parsePeerRange("127.0.0.2/32"));
    auto server = start(options);
    ASSERT_TRUE(server);
    EXPECT_EQ(curlGet(server->port(), "/001a2b3c4d5e.xml").status, 403);
    EXPECT_EQ(curlGet(server->port(), "/001a2b3c4d5e.xml", "--interface 127.0.0.2").status, 200);
    server->stop();
    const std::vector<FetchRecord> records = logged();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].status, 403);
    EXPECT_EQ(records[0].peer, "127.0.0.1");
    EXPECT_EQ(records[0].mac, "");
    EXPECT_EQ(records[1].peer, "127.0.0.2");
    EXPECT_TRUE(records[1].fetched());
}

TEST_F(PhoneServerTest, HttpsWithACertificateOpensslMade) {
    const auto [certificate, key] = makeCertificate(m_dir.path());
    ASSERT_FALSE(certificate.empty());
    int status = -1;
    ServeOptions options;
    options.tlsCertificate = certificate;
    options.tlsKey = key;
    auto server = start(options);
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->usesTls());
    EXPECT_TRUE(server->warnings().empty());
    const HttpAnswer answer =
        curlGet(server->port(), "/0015650A33FB.xml", "--cacert " + shellQuote(certificate));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "<config phone=\"2\"/>\n");
    EXPECT_EQ(curlGet(server->port(), "/0015650A33FB.xml").status, 0);  // plain HTTP: no answer

    // A key that is not the certificate's is refused before anything is served.
    runCommand("openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:P-256 -out " +
                   shellQuote((m_dir / "other.pem").string()) + " 2>&1",
               &status);
    options.tlsKey = m_dir / "other.pem";
    options.folder = m_dir / "site";
    options.port = 0;
    EXPECT_FALSE(PhoneServer::start(options));
}

TEST_F(PhoneServerTest, OversizedRequestLinesAndHeadersGetTheirStatusAndTheServerGoesOn) {
    auto server = start();
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    EXPECT_EQ(
        rawRequestStatus(port, "GET /" + std::string(40000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"),
        414);
    EXPECT_EQ(rawRequestStatus(port, "GET /common.cfg HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                         std::string(40000, 'b') + "\r\n\r\n"),
              431);
    std::string many = "GET /common.cfg HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 3000; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
    EXPECT_EQ(rawRequestStatus(port, many + "\r\n"), 431);
    EXPECT_EQ(rawRequestStatus(
                  port, "GET /common.cfg HTTP/1.1\r\nHost: x\r\nUser-Agent: a\x01,\"b\r\n\r\n"),
              200);
    EXPECT_EQ(curlGet(port, "/common.cfg").status, 200);
    server->stop();
    for (const FetchRecord& record : logged()) {
        EXPECT_EQ(record.userAgent.find_first_of(",\"\x01"), std::string::npos);
    }
}

TEST_F(PhoneServerTest, AThousandIdleConnectionsFromOneAddressLeaveAnotherPhonesFetch) {
    auto server = start();
    ASSERT_TRUE(server);
    writeFile(m_dir / "idle.py",
              "import resource,socket,sys,time\n"
              "resource.setrlimit(resource.RLIMIT_NOFILE,(4096,4096))\n"
              "held=[]\n"
              "for i in range(1000):\n"
              "    try:\n"
              "        s=socket.create_connection(('127.0.0.1'," +
                  std::to_string(server->port()) +
                  "))\n"
                  "        s.sendall(b'GET /common.cfg HTTP/1.1\\r\\nHo')\n"
                  "        held.append(s)\n"
                  "    except OSError:\n"
                  "        pass\n"
                  "print('ready',flush=True)\n"
                  "time.sleep(120)\n");
    ChildProcess idle({"/usr/bin/env", "python3", (m_dir / "idle.py").string()},
                      m_dir / "idle.out");
    ASSERT_TRUE(
        waitUntil([&] { return readFile(m_dir / "idle.out").find("ready") != std::string::npos; },
                  std::chrono::seconds(60)));
    const HttpAnswer answer = curlGet(server->port(), "/0015650a33fb.xml", "--interface 127.0.0.2");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "<config phone=\"2\"/>\n");
}

TEST_F(PhoneServerTest, PlainFilesOverPlainHttpAreWarnedAboutOnce) {
    auto server = start();
    ASSERT_TRUE(server);
    ASSERT_EQ(server->warnings().size(), 1u);
    EXPECT_NE(server->warnings()[0].english().find("SIP passwords cross the network in clear"),
              std::string::npos);
    server.reset();

    std::filesystem::create_directory(m_dir / "en");
    writeFile(m_dir / "en" / "001A2B3C4D5E.xml",
              std::string("\x8f\x00\x13\xfe\x01\x02", 6) + std::string(58, '\x00'));
    ServeOptions options;
    options.folder = m_dir / "en";
    server = start(options);
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->warnings().empty());
}

TEST_F(PhoneServerTest, WhatCannotBeServedIsSaidBeforeListening) {
    ServeOptions options;
    options.folder = m_dir / "missing";
    auto missing = PhoneServer::start(options);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("missing"), std::string::npos);

    auto first = start();
    ASSERT_TRUE(first);
    options.folder = m_dir / "site";
    options.address = "127.0.0.1";
    options.port = first->port();
    auto taken = PhoneServer::start(options);
    ASSERT_FALSE(taken);
    EXPECT_NE(taken.error().message.find(std::to_string(first->port())), std::string::npos);
}

}  // namespace
}  // namespace velquor::serve
