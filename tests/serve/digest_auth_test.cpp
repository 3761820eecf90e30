// HTTP digest on the phone server: credentials from a file htdigest made and from the sheet's
// http-password column, answered by curl --digest and by a Python client that computes the
// RFC 7616 response itself (and replays it); the nonce table's bounds with a clock the test
// moves.
#include "serve/request/digest_auth.h"

#include <gtest/gtest.h>

#include <mutex>

#include "process_checks.h"
#include "serve/server/phone_server.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;

// The RFC 7616 client: asks PATH without credentials, answers the challenge of ALGORITHM with
// nonce count 1, sends that same answer again (a replay), then count 2: the four statuses.
constexpr char kDigestClient[] = R"py(
import hashlib, http.client, os, re, sys
port, path, user, password, algorithm = sys.argv[1:6]
def h(text):
    return hashlib.new('md5' if algorithm == 'MD5' else 'sha256', text.encode()).hexdigest()
def get(headers):
    c.request('GET', path, headers=headers)
    r = c.getresponse()
    r.read()
    statuses.append(r.status)
    return r
c = http.client.HTTPConnection('127.0.0.1', int(port))
statuses = []
offered = get({}).headers.get_all('WWW-Authenticate')
challenge = [v for v in offered if 'algorithm=' + algorithm + ',' in v][0]
realm = re.search(r'realm="([^"]*)"', challenge).group(1)
nonce = re.search(r'nonce="([^"]*)"', challenge).group(1)
def answer(nc):
    cnonce = os.urandom(8).hex()
    ha1 = h(user + ':' + realm + ':' + password)
    response = h(':'.join([ha1, nonce, nc, cnonce, 'auth', h('GET:' + path)]))
    return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", algorithm=%s, qop=auth, '
            'nc=%s, cnonce="%s", response="%s"'
            % (user, realm, nonce, path, algorithm, nc, cnonce, response))
first = answer('00000001')
for header in [first, first, answer('00000002')]:
    get({'Authorization': header})
print(' '.join(map(str, statuses)))
)py";

class DigestServerTest : public ::testing::Test {
protected:
    void SetUp() override { writeSiteFolder(m_dir / "site"); }

    std::unique_ptr<PhoneServer> start(ServeOptions options) {
        serveOnLoopback(options, m_dir.path());
        auto server = PhoneServer::start(std::move(options), [this](const auto& records) {
            std::lock_guard lock(m_mutex);
            m_records.insert(m_records.end(), records.begin(), records.end());
        });
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    // Makes the credentials file with htdigest, as a technician does.
    std::filesystem::path htdigest(const std::string& realm, const std::string& user,
                                   const std::string& password) {
        const std::filesystem::path file = m_dir / "users.digest";
        const std::string create = std::filesystem::exists(file) ? "" : " -c";
        int status = -1;
        runCommand("printf '%s\\n%s\\n' " + shellQuote(password) + " " + shellQuote(password) +
                       " | htdigest" + create + " " + shellQuote(file.string()) + " " +
                       shellQuote(realm) + " " + shellQuote(user) + " >/dev/null 2>&1",
                   &status);
        EXPECT_EQ(status, 0) << "htdigest (apache2-utils) did not run";
        return file;
    }

    int digestGet(std::uint16_t port, const std::string& path, const std::string& user,
                  const std::string& password, const std::string& more = "") {
        return curlGet(port, path, "--digest -u " + shellQuote(user + ":" + password) + " " + more)
            .status;
    }

    std::string pythonClient(std::uint16_t port, const std::string& path, const std::string& user,
                             const std::string& password, const std::string& algorithm) {
        writeFile(m_dir / "client.py", kDigestClient);
        return runCommand("python3 " + shellQuote((m_dir / "client.py").string()) + " " +
                          std::to_string(port) + " " + shellQuote(path) + " " + shellQuote(user) +
                          " " + shellQuote(password) + " " + algorithm);
    }

    // The record of the last request for PATH the sink was given; waits for it.
    FetchRecord lastRecord(const std::string& path, int status) {
        FetchRecord found;
        const bool came = waitUntil(
            [&] {
                std::lock_guard lock(m_mutex);
                for (auto at = m_records.rbegin(); at != m_records.rend(); ++at) {
                    if (at->path != path || at->status != status) continue;
                    found = *at;
                    return true;
                }
                return false;
            },
            std::chrono::seconds(10));
        EXPECT_TRUE(came) << "no record of " << path << " answered " << status;
        return found;
    }

    TempDir m_dir;
    std::mutex m_mutex;
    std::vector<FetchRecord> m_records;
};

TEST_F(DigestServerTest, HtdigestUsersProveThemselvesAndAPhoneUserGetsOnlyItsOwnFile) {
    htdigest("lab", "001A2B3C4D5E", "phone-one");
    ServeOptions options;
    options.authFile = htdigest("lab", "technician", "site pass");
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();

    EXPECT_EQ(curlGet(port, "/common.cfg").status, 401);
    EXPECT_EQ(lastRecord("/common.cfg", 401).refusal, "no credentials");
    EXPECT_EQ(digestGet(port, "/001a2b3c4d5e.xml", "001A2B3C4D5E", "phone-one"), 200);
    EXPECT_EQ(lastRecord("/001a2b3c4d5e.xml", 200).proof, "digest:001A2B3C4D5E");
    EXPECT_EQ(digestGet(port, "/001a2b3c4d5e.xml", "001A2B3C4D5E", "phone-two"), 401);
    EXPECT_EQ(digestGet(port, "/common.cfg", "001A2B3C4D5E", "phone-one"), 200);
    // Another phone's file, in any spelling, existing or not: 403, and the log says why.
    EXPECT_EQ(digestGet(port, "/00-15-65-0A-33-FB.xml", "001A2B3C4D5E", "phone-one"), 403);
    EXPECT_EQ(lastRecord("/00-15-65-0A-33-FB.xml", 403).refusal,
              "wrong user (001a2b3c4d5e asked for 0015650a33fb)");
    EXPECT_EQ(digestGet(port, "/001122334455.xml", "001A2B3C4D5E", "phone-one"), 403);
    // The site's user fetches every file; an unknown user nothing.
    EXPECT_EQ(digestGet(port, "/0015650a33fb.xml", "technician", "site pass"), 200);
    EXPECT_EQ(digestGet(port, "/001a2b3c4d5e.xml", "technician", "site pass"), 200);
    EXPECT_EQ(digestGet(port, "/common.cfg", "intruder", "site pass"), 401);

    // htdigest writes MD5 secrets: MD5 is the one challenge, and the RFC 7616 answer computed
    // by another client is taken once, its replay refused, the next count taken.
    EXPECT_EQ(pythonClient(port, "/common.cfg", "technician", "site pass", "MD5"),
              "401 200 401 200\n");
}

TEST_F(DigestServerTest, TheSheetsPasswordsLetEachPhoneFetchOnlyItsOwnFileWithSha256) {
    const std::filesystem::path sheet = m_dir / "phones.csv";
    writeFile(sheet,
              "MAC,Line,HTTP-Password\n"
              "00:1A:2B:3C:4D:5E,101,first secret\n"
              "0015650a33fb,102,second\n"
              "001122334455,103,\n");
    auto has = sheetHasPasswords(sheet.string());
    ASSERT_TRUE(has) << has.error().message;
    EXPECT_TRUE(*has);
    ServeOptions options;
    options.sheetPasswords = true;
    options.sheetFile = sheet;
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();

    // Every user has a SHA-256 secret: curl answers the SHA-256 challenge it is offered first.
    const std::string verbose = runCommand(
        "curl -sv -o /dev/null --digest -u '001a2b3c4d5e:first secret' "
        "http://127.0.0.1:" +
        std::to_string(port) + "/common.cfg 2>&1");
    EXPECT_NE(verbose.find("algorithm=SHA-256"), std::string::npos) << verbose;
    EXPECT_NE(verbose.find("HTTP/1.1 200"), std::string::npos) << verbose;
    EXPECT_EQ(digestGet(port, "/001A2B3C4D5E.xml", "00-1A-2B-3C-4D-5E", "first secret"), 200);
    EXPECT_EQ(digestGet(port, "/001a2b3c4d5e.xml", "00-1a-2b-3c-4d-5e", "first secret"), 200);
    EXPECT_EQ(digestGet(port, "/0015650a33fb.xml", "001a2b3c4d5e", "first secret"), 403);
    EXPECT_EQ(digestGet(port, "/0015650a33fb.xml", "0015650A33FB", "second"), 200);
    EXPECT_EQ(digestGet(port, "/0015650a33fb.xml", "0015650A33FB", "first secret"), 401);
    // A phone with no password in the sheet has no user.
    EXPECT_EQ(digestGet(port, "/001122334455.xml", "001122334455", ""), 401);
    EXPECT_EQ(pythonClient(port, "/0015650a33fb.xml", "00:15:65:0a:33:fb", "second", "SHA-256"),
              "401 200 401 200\n");
    EXPECT_EQ(pythonClient(port, "/common.cfg", "0015650a33fb", "second", "MD5"),
              "401 200 401 200\n");
}

TEST(PhoneCredentials, BadFilesAreRefusedWithWhereAndWhy) {
    TempDir dir;
    struct Case {
        std::string text;
        std::string said;
    };
    const std::vector<Case> cases{
        {"admin:lab:0123456789abcdef0123456789abcdef\nbroken line\n",
         "users line 2: not user:realm:HA1"},
        {"admin:lab:0123\n", "users line 1: the HA1 is not 32 hex digits"},
        {":lab:0123456789abcdef0123456789abcdef\n", "users line 1: no user name"},
        {"a:lab:0123456789abcdef0123456789abcdef\n\nb:home:0123456789abcdef0123456789abcdef\n",
         "holds several realms (\"lab\" on line 1, \"home\" on line 3)"},
        {"a:lab:0123456789abcdef0123456789abcdef\na:lab:0123456789ABCDEF0123456789ABCDEF\n",
         "users line 2: the user a is there twice"},
        {"\n", "holds no user:realm:HA1 line"},
    };
    for (const Case& c : cases) {
        writeFile(dir / "users", c.text);
        auto loaded = loadCredentials(dir / "users", "");
        ASSERT_FALSE(loaded) << c.text;
        EXPECT_NE(loaded.error().message.find(c.said), std::string::npos) << loaded.error().message;
    }
    writeFile(dir / "sheet.csv", "MAC,http-password\nnot-a-mac,pw\n");
    auto badMac = loadCredentials({}, (dir / "sheet.csv").string());
    ASSERT_FALSE(badMac);
    EXPECT_NE(badMac.error().message.find("sheet.csv A2: a password for no phone"),
              std::string::npos)
        << badMac.error().message;
    writeFile(dir / "sheet.csv", "MAC,Line\n001a2b3c4d5e,101\n");
    auto noColumn = loadCredentials({}, (dir / "sheet.csv").string());
    ASSERT_FALSE(noColumn);
    EXPECT_NE(noColumn.error().message.find("no http-password column"), std::string::npos);
    EXPECT_FALSE(*sheetHasPasswords((dir / "sheet.csv").string()));
    writeFile(dir / "sheet.csv", "MAC,http-password\n001a2b3c4d5e,\n");
    auto none = loadCredentials({}, (dir / "sheet.csv").string());
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().message.find("holds no password"), std::string::npos);

    // The CLI says it and starts nothing.
    writeSiteFolder(dir / "site");
    writeFile(dir / "users", "admin lab 0123\n");
    const ProgramRun run = runProgram(
        VELQUOR_CLI_BINARY, "serve " + shellQuote((dir / "site").string()) +
                                " --port 0 --auth-file " + shellQuote((dir / "users").string()));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("users line 1: not user:realm:HA1"), std::string::npos) << run.output;
}

// A client's answer to NONCE as curl would send it, for the nonce table's own tests.
std::string answerFor(const std::string& nonce, const std::string& nc) {
    const std::string ha1 = hexDigest(DigestAlgorithm::Sha256, "site:velquor:pw");
    const std::string ha2 = hexDigest(DigestAlgorithm::Sha256, "GET:/a.cfg");
    const std::string response =
        hexDigest(DigestAlgorithm::Sha256, ha1 + ":" + nonce + ":" + nc + ":c0ffee:auth:" + ha2);
    return "Digest username=\"site\", realm=\"velquor\", nonce=\"" + nonce +
           "\", uri=\"/a.cfg\", algorithm=SHA-256, qop=auth, nc=" + nc +
           ", cnonce=\"c0ffee\", response=\"" + response + "\"";
}

std::string nonceOf(const std::string& challenge) {
    const std::size_t at = challenge.find("nonce=\"") + 7;
    return challenge.substr(at, challenge.find('"', at) - at);
}

TEST(DigestNonces, TheTableIsBoundedInNumberAndAgeAndGoneNoncesAreStale) {
    TempDir dir;
    writeFile(dir / "users",
              "site:velquor:" + hexDigest(DigestAlgorithm::Sha256, "site:velquor:pw") + "\n");
    auto credentials = loadCredentials(dir / "users", "");
    ASSERT_TRUE(credentials) << credentials.error().message;
    auto now = std::chrono::steady_clock::now();
    DigestAuth digest(*credentials, {.count = 8, .lifetime = std::chrono::seconds(60)},
                      [&] { return now; });

    const std::vector<std::string> first = digest.challenges(false);
    ASSERT_EQ(first.size(), 1u);  // only the SHA-256 secret: no MD5 challenge
    EXPECT_NE(first[0].find("algorithm=SHA-256"), std::string::npos);
    const std::string oldest = nonceOf(first[0]);
    EXPECT_TRUE(digest.check(answerFor(oldest, "00000001"), "GET", "/a.cfg").proven());
    // Counts out of order are taken once each; one seen, or far behind, is a replay.
    EXPECT_TRUE(digest.check(answerFor(oldest, "00000005"), "GET", "/a.cfg").proven());
    EXPECT_TRUE(digest.check(answerFor(oldest, "00000003"), "GET", "/a.cfg").proven());
    EXPECT_EQ(digest.check(answerFor(oldest, "00000003"), "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Replayed);
    EXPECT_TRUE(digest.check(answerFor(oldest, "00000100"), "GET", "/a.cfg").proven());
    EXPECT_EQ(digest.check(answerFor(oldest, "00000002"), "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Replayed);
    // The answer for another path is no answer for this one; each refusal says why.
    EXPECT_EQ(digest.check(answerFor(oldest, "00000101"), "GET", "/b.cfg").kind,
              DigestOutcome::Kind::Malformed);
    std::string wrong = answerFor(oldest, "00000102");
    wrong[wrong.size() - 2] = wrong[wrong.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(digest.check(wrong, "GET", "/a.cfg").reason(), "wrong password for site");
    std::string stranger = answerFor(oldest, "00000103");
    stranger.replace(stranger.find("\"site\""), 6, "\"anna\"");
    EXPECT_EQ(digest.check(stranger, "GET", "/a.cfg").reason(), "unknown user anna");
    EXPECT_EQ(digest.check("Basic c2l0ZTpwdw==", "GET", "/a.cfg").reason(),
              "unreadable credentials");
    EXPECT_EQ(digest.check("", "GET", "/a.cfg").reason(), "no credentials");
    // A quoted value is read with its escapes taken out; a parameter given twice is refused.
    std::string escaped = answerFor(oldest, "00000104");
    escaped.replace(escaped.find("\"site\""), 6, "\"s\\ite\"");
    EXPECT_TRUE(digest.check(escaped, "GET", "/a.cfg").proven());
    EXPECT_EQ(digest.check(answerFor(oldest, "00000105") + ", nc=00000106", "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Malformed);
    EXPECT_EQ(digest.check(answerFor(oldest, "00000001"), "GET", "/a.cfg").reason(),
              "replayed nonce count");

    // Challenges alone take no room: a flood of unanswered ones evicts nothing.
    for (int i = 0; i < 1000; ++i) digest.challenges(false);
    EXPECT_EQ(digest.nonceCount(), 1u);
    // Many nonces used: the table holds 8; the one first used longest ago gave way and is
    // stale, as is any nonce issued before it, however unused; a nonce not ours is stale too.
    const std::string unused = nonceOf(digest.challenges(false)[0]);
    now += std::chrono::milliseconds(1);
    std::string latest;
    for (int i = 0; i < 20; ++i) {
        latest = nonceOf(digest.challenges(false)[0]);
        EXPECT_TRUE(digest.check(answerFor(latest, "00000001"), "GET", "/a.cfg").proven());
        now += std::chrono::milliseconds(1);
    }
    EXPECT_LE(digest.nonceCount(), 8u);
    EXPECT_EQ(digest.check(answerFor(oldest, "00000200"), "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Stale);
    EXPECT_EQ(digest.check(answerFor(unused, "00000001"), "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Stale);
    std::string forged = latest;
    forged[40] = forged[40] == '0' ? '1' : '0';  // its tag
    EXPECT_EQ(digest.check(answerFor(forged, "00000002"), "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Stale);
    EXPECT_TRUE(digest.check(answerFor(latest, "00000002"), "GET", "/a.cfg").proven());
    // Past its lifetime a nonce is stale however little it was used; a stale challenge says so.
    now += std::chrono::seconds(61);
    EXPECT_EQ(digest.check(answerFor(latest, "00000003"), "GET", "/a.cfg").kind,
              DigestOutcome::Kind::Stale);
    EXPECT_NE(digest.challenges(true)[0].find("stale=true"), std::string::npos);
}

}  // namespace
}  // namespace velquor::serve
