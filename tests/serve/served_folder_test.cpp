// The served folder as the phones and the person serving see it, on loopback with curl: a name
// asked under en/ gets the encrypted copy or nothing, the folder is found by its path (renamed
// away and replaced, removed, back), and plain files beside their encrypted copies are not
// served over plain HTTP unless asked for, by the server and by velquor-cli serve.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>

#include "child_process.h"
#include "serve/log/fetch_log_reader.h"
#include "serve/server/phone_server.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;

constexpr auto kLimit = std::chrono::seconds(30);

// What Generate's en/ holds: bytes no one reads as text.
const std::string kSealedOne("\x8f\x02\x00\xc1\x7e\x13\xfa\x00\x91sealed-1", 17);
const std::string kSealedTwo("\x13\x00\xee\x01\x9d\x40\x00\x07\xb2sealed-2", 17);
constexpr char kPlainOne[] = "<config phone=\"1\"/>\n";

// The encrypted copies of the usual site's two phones, the first under another spelling.
void writeEncryptedCopies(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder / "en");
    writeFile(folder / "en" / "001a2b3c4d5e.XML", kSealedOne);
    writeFile(folder / "en" / "0015650a33fb.xml", kSealedTwo);
}

class ServedFolderTest : public ::testing::Test {
protected:
    void SetUp() override { writeSiteFolder(site()); }

    std::filesystem::path site() const { return m_dir / "site"; }

    support::Result<std::unique_ptr<PhoneServer>> tryStart(ServeOptions options) {
        if (options.folder.empty()) options.folder = site();
        options.address = "127.0.0.1";
        options.port = 0;
        options.logFile = m_dir / "fetch.csv";
        return PhoneServer::start(std::move(options));
    }

    std::unique_ptr<PhoneServer> start(ServeOptions options = {}) {
        auto server = tryStart(std::move(options));
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    TempDir m_dir;
};

TEST_F(ServedFolderTest, ANameAskedUnderEnGetsTheEncryptedCopyOrNothingNeverThePlainFile) {
    writeEncryptedCopies(site());
    writeFile(site() / "001122334455.xml", "<config phone=\"3\"/>\n");  // no copy in en/
    std::filesystem::create_symlink("/etc/passwd", site() / "en" / "outside.xml");
    ServeOptions options;
    options.plainFiles = true;
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();

    EXPECT_EQ(curlGet(port, "/prov/site1/en/001a2b3c4d5e.XML").body, kSealedOne);
    EXPECT_EQ(curlGet(port, "/prov/site1/en/001A2B3C4D5E.xml").body, kSealedOne);
    EXPECT_EQ(curlGet(port, "/en/00-15-65-0A-33-FB.xml").body, kSealedTwo);
    EXPECT_EQ(curlGet(port, "/EN/0015650a33fb.xml").body, kSealedTwo);
    EXPECT_EQ(curlGet(port, "/prov/en//0015650a33fb.xml").body, kSealedTwo);
    // Any other folder before the name is the phone's server text.
    EXPECT_EQ(curlGet(port, "/prov/site1/001a2b3c4d5e.xml").body, kPlainOne);
    EXPECT_EQ(curlGet(port, "/prov/en/site1/001a2b3c4d5e.xml").body, kPlainOne);
    for (const char* path :
         {"/prov/site1/en/001122334455.xml", "/en/common.cfg", "/en/outside.xml",
          "/en/%2e%2e/common.cfg", "/en/..%2fcommon.cfg", "/en/%2E%2E/001A2B3C4D5E.xml",
          "/en/common.cfg%00.xml", "/en/", "/en/en"}) {
        const HttpAnswer answer = curlGet(port, path);
        EXPECT_TRUE(answer.status == 404 || answer.status == 400) << path << " " << answer.status;
        EXPECT_EQ(answer.body.find("config"), std::string::npos) << path;
        EXPECT_EQ(answer.body.find("shared"), std::string::npos) << path;
        EXPECT_EQ(answer.body.find("root:"), std::string::npos) << path;
    }
    server->stop();
    auto records = readFetchLog(m_dir / "fetch.csv");
    ASSERT_TRUE(records) << records.error().message;
    EXPECT_EQ(records->at(0).file, "en/001a2b3c4d5e.XML");
    EXPECT_EQ(records->at(0).mac, "001a2b3c4d5e");

    // Served itself, an en folder holds only encrypted copies: under en/ or not, they go out.
    ServeOptions enFolder;
    enFolder.folder = site() / "en";
    auto encrypted = start(enFolder);
    ASSERT_TRUE(encrypted);
    EXPECT_TRUE(encrypted->warnings().empty());
    EXPECT_EQ(curlGet(encrypted->port(), "/prov/en/001a2b3c4d5e.xml").body, kSealedOne);
    EXPECT_EQ(curlGet(encrypted->port(), "/0015650A33FB.xml").body, kSealedTwo);
    EXPECT_EQ(curlGet(encrypted->port(), "/en/common.cfg").status, 404);
}

TEST_F(ServedFolderTest, AFolderWithoutEnHasNoEncryptedCopiesToGive) {
    auto server = start();
    ASSERT_TRUE(server);
    EXPECT_EQ(curlGet(server->port(), "/en/001A2B3C4D5E.xml").status, 404);
    EXPECT_EQ(curlGet(server->port(), "/001A2B3C4D5E.xml").body, kPlainOne);
}

TEST_F(ServedFolderTest, TheFolderIsItsPathReplacedRemovedAndBack) {
    auto server = start();
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").body, kPlainOne);

    // Renamed away and replaced by a new run's folder: the new one's files, the MAC in any
    // spelling matched in its own listing.
    std::filesystem::rename(site(), m_dir / "site.old");
    std::filesystem::create_directory(site());
    writeFile(site() / "001a2b3c4d5e.xml", "<config phone=\"1\" run=\"2\"/>\n");
    EXPECT_EQ(curlGet(port, "/001A2B3C4D5E.xml").body, "<config phone=\"1\" run=\"2\"/>\n");
    EXPECT_EQ(curlGet(port, "/common.cfg").status, 404);
    EXPECT_EQ(server->folderHealth(), FolderHealth{});

    // Nothing at the path: every request is 503, said once.
    std::filesystem::remove_all(site());
    for (const char* path : {"/001a2b3c4d5e.xml", "/common.cfg", "/en/001a2b3c4d5e.xml"})
        EXPECT_EQ(curlGet(port, path).status, 503) << path;
    const FolderHealth gone = server->folderHealth();
    EXPECT_EQ(gone, (FolderHealth{true, 1}));
    const std::vector<support::Phrase> missing = folderNews({}, gone, site());
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_NE(missing[0].english().find(site().string() + " is not there"), std::string::npos);
    EXPECT_TRUE(folderNews(gone, server->folderHealth(), site()).empty());

    // Back: served again.
    std::filesystem::rename(m_dir / "site.old", site());
    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").body, kPlainOne);
    const FolderHealth back = server->folderHealth();
    EXPECT_EQ(back, (FolderHealth{false, 1}));
    const std::vector<support::Phrase> news = folderNews(gone, back, site());
    ASSERT_EQ(news.size(), 1u);
    EXPECT_NE(news[0].english().find("is back"), std::string::npos);

    // Removed and made again between two requests.
    std::filesystem::remove_all(site());
    std::filesystem::create_directory(site());
    writeFile(site() / "001A2B3C4D5E.xml", "<config phone=\"1\" run=\"3\"/>\n");
    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").body, "<config phone=\"1\" run=\"3\"/>\n");

    server->stop();
    auto records = readFetchLog(m_dir / "fetch.csv");
    ASSERT_TRUE(records) << records.error().message;
    // The first 503 is logged, the others counted on its network's summary line.
    std::uint64_t unavailable = 0;
    for (const FetchRecord& record : *records)
        if (record.status == 503) unavailable += record.isSummary() ? record.more : 1;
    EXPECT_EQ(unavailable, 3u);
}

TEST_F(ServedFolderTest, PlainFilesBesideTheirEncryptedCopiesAreRefusedOverPlainHttp) {
    // An en/ of text files holds no encrypted copies: still a warning.
    std::filesystem::create_directory(site() / "en");
    writeFile(site() / "en" / "001A2B3C4D5E.xml", kPlainOne);
    ASSERT_TRUE(start());

    writeEncryptedCopies(site());
    std::filesystem::remove(site() / "en" / "001A2B3C4D5E.xml");
    const auto refused = tryStart({});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, support::ErrorCode::Refused);
    EXPECT_FALSE(refused.error().phrase.empty());
    EXPECT_NE(refused.error().message.find("serve " + (site() / "en").string() +
                                           "/, or give --plain-files"),
              std::string::npos)
        << refused.error().message;

    ServeOptions plainFiles;
    plainFiles.plainFiles = true;
    auto asked = start(plainFiles);
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->warnings().size(), 1u);
    EXPECT_EQ(curlGet(asked->port(), "/001a2b3c4d5e.xml").body, kPlainOne);
}

TEST(ServedFolderCli, RefusesPlainFilesBesideCopiesAndSaysOnceWhenTheFolderIsGoneAndBack) {
    TempDir dir;
    const std::filesystem::path site = dir / "out";
    writeSiteFolder(site);
    writeEncryptedCopies(site);
    const std::string cli = VELQUOR_CLI_BINARY;
    const std::string where = " --address 127.0.0.1 --port 0 --for 30s";
    const ProgramRun refused = runProgram(cli, "serve " + shellQuote(site.string()) + where);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("serve " + (site / "en").string() + "/, or give --plain-files"),
              std::string::npos)
        << refused.output;

    const std::filesystem::path output = dir / "serve.txt";
    ChildProcess child(
        {cli, "serve", site.string(), "--plain-files", "--address", "127.0.0.1", "--port", "0"},
        output);
    auto printed = [&](const std::string& text) {
        return waitUntil([&] { return readFile(output).find(text) != std::string::npos; }, kLimit);
    };
    ASSERT_TRUE(printed("serving ")) << readFile(output);
    std::filesystem::rename(site, dir / "away");
    EXPECT_TRUE(printed("warning: The folder " + site.string() + " is not there"))
        << readFile(output);
    std::filesystem::rename(dir / "away", site);
    EXPECT_TRUE(printed("is back")) << readFile(output);
    ASSERT_TRUE(child.waitUntilHandling(SIGTERM, kLimit));
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(kLimit), 0);
    const std::string text = readFile(output);
    EXPECT_EQ(text.find("is not there"), text.rfind("is not there")) << text;
}

}  // namespace
}  // namespace velquor::serve
