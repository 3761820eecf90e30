// The guessing guard: the guard alone on a played clock (holds, their growth, pacing a
// network, a proven asker, its bounded memory), and the real server answering Python clients
// bound to chosen loopback addresses: one that guesses is held back from the folder, guesses
// spread over a network are paced while the network stays served. And the safe default at
// start: plain configuration files to every address without credentials are refused.
#include "serve/request/guessing_guard.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "child_process.h"
#include "serve/folder/plain_files.h"
#include "serve/log/fetch_log_reader.h"
#include "serve/server/phone_server.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;
using namespace std::chrono_literals;
using Steady = GuessingGuard::Steady;

Asker asker(const char* address) {
    auto parsed = net::IpAddress::parse(address);
    EXPECT_TRUE(parsed) << address;
    return {net::addressGroup(*parsed), net::addressNetwork(*parsed)};
}

// misses misses from one asker, each looked at first, at now.
void miss(GuessingGuard& guard, const Asker& who, int misses, Steady::time_point now) {
    for (int i = 0; i < misses; ++i) {
        ASSERT_TRUE(guard.admit(who, false, Waiting::Cannot, now).look) << i;
        guard.record(who, false, true, false, now);
    }
}

TEST(GuessingGuard, AGuesserIsHeldAtItsTenthMissAndLongerAtEachRepeat) {
    GuessingGuard guard;
    const Asker guesser = asker("192.0.2.9");
    const Steady::time_point start = Steady::now();
    miss(guard, guesser, 10, start);
    const GuessingAdmission held = guard.admit(guesser, false, Waiting::Cannot, start);
    EXPECT_FALSE(held.look);
    EXPECT_NE(held.refusal.find("held back"), std::string::npos) << held.refusal;
    EXPECT_FALSE(guard.admit(guesser, true, Waiting::Cannot, start + 59s).look)
        << "its own guessing holds it";
    EXPECT_TRUE(guard.admit(asker("192.0.2.10"), false, Waiting::Cannot, start + 1s).look)
        << "a neighbour is no guesser";
    // The hold ends after a minute; ten more misses hold it for two.
    const Steady::time_point later = start + 61s;
    miss(guard, guesser, 10, later);
    EXPECT_FALSE(guard.admit(guesser, false, Waiting::Cannot, later).look);
    EXPECT_FALSE(guard.admit(guesser, false, Waiting::Cannot, later + 119s).look);
    EXPECT_TRUE(guard.admit(guesser, false, Waiting::Cannot, later + 121s).look);
    // Hits are no misses: a phone fetching many files of its own is never held.
    const Asker phone = asker("2001:db8:1:2::7");
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(guard.admit(phone, false, Waiting::Cannot, start).look);
        guard.record(phone, false, false, false, start);
    }
    // Misses answered before any look (refused passwords) hold the group at its next request.
    const Asker passwords = asker("192.0.2.11");
    for (int i = 0; i < 10; ++i) {
        ASSERT_FALSE(guard.heldBack(passwords, start)) << i;
        guard.record(passwords, false, true, false, start);
    }
    EXPECT_TRUE(guard.heldBack(passwords, start));
    miss(guard, asker("2001:db8:1:2::8"), 10, start);
    EXPECT_FALSE(guard.admit(asker("2001:db8:1:2::9"), false, Waiting::Cannot, start).look)
        << "an IPv6 host counts by its /64";
}

TEST(GuessingGuard, GuessesSpreadOverANetworkArePacedAndAProvenPhoneIsNeverSlowed) {
    GuessingGuard guard;
    const Steady::time_point start = Steady::now();
    int looked = 0;
    for (int host = 0; host < 256; ++host) {
        const Asker guesser = asker(("198.51.100." + std::to_string(host)).c_str());
        for (int i = 0; i < 4; ++i) {
            if (!guard.admit(guesser, false, Waiting::Cannot, start).look) continue;
            ++looked;
            guard.record(guesser, false, true, false, start);
        }
    }
    EXPECT_EQ(looked, 20) << "the network's burst, and no more at once";
    EXPECT_TRUE(guard.admit(asker("198.51.100.77"), true, Waiting::Cannot, start).look)
        << "a proven phone of the same network";
    const GuessingAdmission unproven =
        guard.admit(asker("198.51.100.78"), false, Waiting::Cannot, start);
    EXPECT_FALSE(unproven.look);
    EXPECT_NE(unproven.refusal.find("198.51.100.0/24"), std::string::npos) << unproven.refusal;
    EXPECT_TRUE(guard.admit(asker("198.51.100.78"), false, Waiting::Cannot, start + 1s).look)
        << "the network is paced, not held: a second later one more is looked at";
    EXPECT_FALSE(guard.admit(asker("198.51.100.79"), false, Waiting::Cannot, start + 1s).look);
    EXPECT_TRUE(guard.admit(asker("203.0.113.5"), false, Waiting::Cannot, start).look)
        << "another network";
}

TEST(GuessingGuard, AnAskerThatAsksAgainUnprovenWaitsItsTurnPastItsNetworksLooks) {
    GuessingGuard guard;
    const Steady::time_point start = Steady::now();
    const auto at = [](int host) { return asker(("198.51.100." + std::to_string(host)).c_str()); };
    for (int host = 0; host < 20; ++host) {
        const GuessingAdmission looked = guard.admit(at(host), false, Waiting::May, start);
        ASSERT_TRUE(looked.look) << host;
        guard.record(at(host), false, false, true, start);  // challenged again
    }
    const GuessingAdmission first = guard.admit(at(20), false, Waiting::May, start);
    EXPECT_FALSE(first.look);
    EXPECT_EQ(first.waitFor, 1s);
    EXPECT_NE(first.refusal.find("held on its connection"), std::string::npos) << first.refusal;
    EXPECT_EQ(guard.admit(at(21), false, Waiting::May, start).waitFor, 2s)
        << "each waits a spacing after the last one waiting";
    const GuessingAdmission newcomer = guard.admit(at(22), false, Waiting::Cannot, start);
    EXPECT_FALSE(newcomer.look);
    EXPECT_EQ(newcomer.waitFor, 0ms) << "a connection's first request never waits";
    EXPECT_TRUE(guard.admit(at(23), true, Waiting::May, start).look) << "nor a proven one";
    EXPECT_TRUE(guard.admit(at(20), false, Waiting::TurnCame, start + 1s).look);
    guard.record(at(20), false, false, true, start + 1s);
    EXPECT_TRUE(guard.admit(at(21), false, Waiting::TurnCame, start + 2s).look);
    EXPECT_FALSE(guard.heldBack(at(0), start + 2s))
        << "challenges asked again count for the network, never against the address";
    EXPECT_TRUE(guard.admit(asker("203.0.113.5"), false, Waiting::May, start).look)
        << "another network waits for nothing";
}

TEST(GuessingGuard, AFloodOfAddressesKeepsItsMemoryBounded) {
    GuessingLimits limits;
    limits.mostGroups = 1000;
    limits.mostNetworks = 100;
    GuessingGuard guard(limits);
    const Steady::time_point start = Steady::now();
    const Asker first = asker("10.0.0.1");
    miss(guard, first, 10, start);
    for (int i = 0; i < 50'000; ++i) {
        const std::string address = "10." + std::to_string(i / 65536 + 1) + "." +
                                    std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
        const Asker flood = asker(address.c_str());
        if (guard.admit(flood, false, Waiting::Cannot, start).look)
            guard.record(flood, false, true, false, start);
        if (i == 500) {
            EXPECT_FALSE(guard.admit(first, false, Waiting::Cannot, start).look)
                << "held while remembered";
        }
    }
    EXPECT_LE(guard.groupsKept(), 1000u);
}

TEST(GuessingGuard, WhatCountsAsAMiss) {
    FetchRecord record;
    record.status = 404;
    EXPECT_TRUE(missedRequest(record));
    record.status = 401;
    EXPECT_FALSE(missedRequest(record)) << "a bare challenge is how digest starts";
    record.refusal = "wrong user";
    EXPECT_TRUE(missedRequest(record));
    record.status = 200;
    EXPECT_FALSE(missedRequest(record));
    EXPECT_FALSE(provenAsker(record));
    record.proof = "none";
    EXPECT_FALSE(provenAsker(record));
    record.proof = "digest:001a2b3c4d5e";
    EXPECT_TRUE(provenAsker(record));
}

// Python asks the server for each line's path from the line's source address, a connection
// each, and prints each answer's status in order.
// Over HTTPS when a CA file is given, without a client certificate.
std::vector<int> statusesFrom(std::uint16_t port, const std::vector<std::string>& askers,
                              const std::vector<std::string>& paths,
                              const std::filesystem::path& scratch,
                              const std::string& caFile = "") {
    std::string lines;
    for (std::size_t i = 0; i < askers.size(); ++i) lines += askers[i] + " " + paths[i] + "\n";
    writeFile(scratch / "asks", lines);
    writeFile(scratch / "ask.py",
              "import http.client, ssl, sys\n"
              "tls = None\n"
              "if len(sys.argv) > 3:\n"
              "    tls = ssl.create_default_context(cafile=sys.argv[3])\n"
              "    tls.check_hostname = False\n"
              "for line in open(sys.argv[2]):\n"
              "    source, path = line.split()\n"
              "    where = ('127.0.0.1', int(sys.argv[1]))\n"
              "    if tls:\n"
              "        c = http.client.HTTPSConnection(*where, timeout=30, context=tls,\n"
              "                                        source_address=(source, 0))\n"
              "    else:\n"
              "        c = http.client.HTTPConnection(*where, timeout=30,\n"
              "                                       source_address=(source, 0))\n"
              "    c.request('GET', path)\n"
              "    r = c.getresponse(); r.read(); c.close()\n"
              "    print(r.status)\n");
    std::istringstream out(runCommand("python3 " + shellQuote((scratch / "ask.py").string()) + " " +
                                      std::to_string(port) + " " +
                                      shellQuote((scratch / "asks").string()) +
                                      (caFile.empty() ? "" : " " + shellQuote(caFile))));
    std::vector<int> statuses;
    for (int status = 0; out >> status;) statuses.push_back(status);
    EXPECT_EQ(statuses.size(), askers.size());
    return statuses;
}

std::string guessedName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "/0004f2%06x.xml", 0x100000 + i);
    return name;
}

class GuessingServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeSiteFolder(m_dir / "site");
        ServeOptions options;
        serveOnLoopback(options, m_dir.path());
        options.logFile = m_dir / "fetch.csv";
        auto server = PhoneServer::start(std::move(options));
        ASSERT_TRUE(server) << server.error().message;
        m_server = std::move(*server);
    }

    // The requests of status from 127.0.0.0/24 the log stands for, and the lines it took.
    std::pair<std::uint64_t, std::size_t> logged(int status) {
        m_server->stop();
        auto records = readFetchLog(m_dir / "fetch.csv");
        EXPECT_TRUE(records) << records.error().message;
        std::pair<std::uint64_t, std::size_t> counted{0, 0};
        for (const FetchRecord& record : records ? *records : std::vector<FetchRecord>{}) {
            if (record.status != status || net::addressNetworkText(record.peer) != "127.0.0.0/24")
                continue;
            counted.first += record.isSummary() ? record.more : 1;
            ++counted.second;
        }
        return counted;
    }

    std::vector<int> ask(const std::vector<std::string>& askers,
                         const std::vector<std::string>& paths) {
        return statusesFrom(m_server->port(), askers, paths, m_dir.path());
    }

    TempDir m_dir;
    std::unique_ptr<PhoneServer> m_server;
};

TEST_F(GuessingServerTest, FiftyGuessesHoldTheirAddressBackFromTheFolderAndNotItsNeighbour) {
    std::vector<std::string> paths;
    for (int i = 0; i < 50; ++i) paths.push_back(guessedName(i));
    const std::vector<int> statuses = ask(std::vector<std::string>(50, "127.0.0.9"), paths);
    std::map<int, int> counts;
    for (int status : statuses) ++counts[status];
    EXPECT_EQ(counts[404], 10) << "looked at until its tenth miss";
    EXPECT_EQ(counts[403], 40) << "then held back";
    // A file that appears after the hold began is no answer to it: the folder is not looked at.
    writeFile(m_dir / "site" / "0004f2100031.xml", "<config phone=\"late\"/>\n");
    EXPECT_EQ(ask({"127.0.0.9", "127.0.0.9"}, {"/0004f2100031.xml", "/common.cfg"}),
              (std::vector<int>{403, 403}));
    EXPECT_EQ(ask({"127.0.0.10", "127.0.0.10"}, {"/0004f2100031.xml", "/001a2b3c4d5e.xml"}),
              (std::vector<int>{200, 200}));
    // Held back, it is logged once with a count, not once a request.
    const auto [held, lines] = logged(403);
    EXPECT_EQ(held, 42u);
    EXPECT_LE(lines, 4u);
}

TEST_F(GuessingServerTest, GuessesSpreadOverANetworkArePacedWhileTheNetworkStaysServed) {
    std::vector<std::string> askers;
    std::vector<std::string> paths;
    for (int round = 0; round < 4; ++round) {
        for (int host = 0; host < 256; ++host) {
            askers.push_back("127.0.3." + std::to_string(host));
            paths.push_back(guessedName(round * 256 + host));
        }
    }
    const auto began = Steady::now();
    const std::vector<int> statuses = ask(askers, paths);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - began);
    const long long looked = std::count(statuses.begin(), statuses.end(), 404);
    // The burst, then one a second of the time the guesses took (and one for the second begun).
    EXPECT_LE(looked, 20 + seconds.count() + 1);
    EXPECT_GE(looked, 20);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 0);
    // The network is never held as a whole: another of its addresses gets its file within a
    // spacing, and another network at once.
    EXPECT_EQ(ask({"127.0.4.1"}, {"/common.cfg"}), std::vector<int>{200});
    EXPECT_TRUE(waitUntil(
        [&] { return ask({"127.0.3.77"}, {"/common.cfg"}) == std::vector<int>{200}; }, 10s));
}

// Phones that prove themselves with their certificates, on the network guessers spread over:
// the guessers' looks are paced, the phones are not.
TEST(GuessingWithCertificates, AProvenPhoneIsServedWhileItsNetworkIsPaced) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    const TestCertificate serverCertificate = makeCertificate(dir.path());
    const TestCa phones = makeCa(dir.path(), "phones");
    const TestCertificate desk =
        issueCertificate(phones, "desk", {"/O=Maker/CN=SEP001A2B3C4D5E", "", false});
    ASSERT_FALSE(desk.certificate.empty());
    ServeOptions options;
    options.folder = dir / "site";
    options.address = "127.0.0.1";
    options.port = 0;
    options.tlsCertificate = serverCertificate.certificate;
    options.tlsKey = serverCertificate.key;
    options.phoneCas = {phones.certificate};
    auto server = PhoneServer::start(std::move(options));
    ASSERT_TRUE(server) << server.error().message;
    const std::uint16_t port = (*server)->port();

    std::vector<std::string> askers;
    std::vector<std::string> paths;
    for (int host = 0; host < 256; ++host) {
        askers.push_back("127.0.3." + std::to_string(host));
        paths.push_back(guessedName(host));
    }
    const std::vector<int> statuses =
        statusesFrom(port, askers, paths, dir.path(), serverCertificate.certificate);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 403), 256);
    // Past the network's burst an unproven look waits a second; the phone's five do not.
    const std::string fetch =
        "curl -s -w '%{http_code} ' --interface 127.0.3.77 "
        "--cacert " +
        shellQuote(serverCertificate.certificate) + " --cert " + shellQuote(desk.certificate) +
        " --key " + shellQuote(desk.key);
    const std::string url =
        " -o /dev/null https://127.0.0.1:" + std::to_string(port) + "/001a2b3c4d5e.xml";
    EXPECT_EQ(runCommand(fetch + url + url + url + url + url), "200 200 200 200 200 ");
}

// Passwords guessed from one address hold it back, its right password too, while the phone
// at the next address fetches with its own.
TEST(GuessingWithPasswords, RefusedPasswordsHoldTheirAddressBack) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    writeFile(dir / "sheet.csv", "MAC,http-password\n001A2B3C4D5E,right\n");
    std::unique_ptr<ChildProcess> child;
    const std::uint16_t port = startServe(
        child, dir / "out.txt", {(dir / "site").string(), "--sheet", (dir / "sheet.csv").string()});
    ASSERT_NE(port, 0);
    const auto fetch = [&](const char* from, const char* password) {
        return curlGet(port, "/001a2b3c4d5e.xml",
                       std::string("--digest -u 001a2b3c4d5e:") + password + " --interface " + from)
            .status;
    };
    for (int i = 0; i < 10; ++i) EXPECT_EQ(fetch("127.0.0.9", "wrong"), 401) << i;
    EXPECT_EQ(fetch("127.0.0.9", "wrong"), 403);
    EXPECT_EQ(fetch("127.0.0.9", "right"), 403);
    EXPECT_EQ(fetch("127.0.0.10", "right"), 200);
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(30s), 0) << readFile(dir / "out.txt");
}

// Guessers that ignore their challenges, each on a kept connection of its own from the
// addresses of 127.0.7.0/24, against the server with phones' passwords; the network's looks
// are few (a burst of 2) and spaced as the test says.
class HeldGuessersTest : public ::testing::Test {
protected:
    static constexpr int kGuessers = 12;

    void start(std::chrono::milliseconds spacing, std::size_t mostHeld = 0) {
        writeSiteFolder(m_dir / "site");
        writeFile(m_dir / "sheet.csv", "MAC,http-password\n001A2B3C4D5E,right\n");
        ServeOptions options;
        serveOnLoopback(options, m_dir.path());
        options.sheetPasswords = true;
        options.sheetFile = m_dir / "sheet.csv";
        options.logFile = m_dir / "fetch.csv";
        options.guessing.network = {60'000 / spacing.count(), 2, std::chrono::minutes(1)};
        options.mostHeldConnections = mostHeld;
        auto server = PhoneServer::start(std::move(options));
        ASSERT_TRUE(server) << server.error().message;
        m_server = std::move(*server);
        // Each guesser asks once (a challenge), then again unproven, and prints both answers'
        // statuses and the second's Connection header, or "ended" when its connection ended
        // without an answer.
        writeFile(m_dir / "guess.py",
                  "import http.client, sys, threading\n"
                  "port, count = int(sys.argv[1]), int(sys.argv[2])\n"
                  "lock = threading.Lock()\n"
                  "def guess(i):\n"
                  "    c = http.client.HTTPConnection('127.0.0.1', port, timeout=120,\n"
                  "                                   source_address=('127.0.7.%d' % (i + 1), 0))\n"
                  "    c.request('GET', '/0004f2%06x.xml' % i)\n"
                  "    r = c.getresponse(); r.read(); first = r.status\n"
                  "    try:\n"
                  "        c.request('GET', '/0004f2%06x.xml' % (1000 + i))\n"
                  "        r = c.getresponse(); r.read()\n"
                  "        said = '%d %s' % (r.status, r.getheader('Connection', '-'))\n"
                  "    except Exception:\n"
                  "        said = 'ended'\n"
                  "    with lock:\n"
                  "        sys.stdout.write('%d %s\\n' % (first, said)); sys.stdout.flush()\n"
                  "ts = [threading.Thread(target=guess, args=(i,)) for i in range(count)]\n"
                  "[t.start() for t in ts]; [t.join() for t in ts]\n");
        m_guessers = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", (m_dir / "guess.py").string(),
                                     std::to_string(m_server->port()), std::to_string(kGuessers)},
            m_dir / "guessed.txt");
    }

    // The guessers' lines so far.
    std::vector<std::string> answered() const {
        std::vector<std::string> lines;
        std::istringstream in(readFile(m_dir / "guessed.txt"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // Every guesser answered twice or waiting on its connection.
    bool allAskedTwice() const {
        return answered().size() + m_server->heldConnections().now == kGuessers;
    }

    TempDir m_dir;
    std::unique_ptr<PhoneServer> m_server;
    std::unique_ptr<ChildProcess> m_guessers;
};

TEST_F(HeldGuessersTest, GuessersWaitOnTheirConnectionsWhileAProvenPhoneIsServedAtOnce) {
    start(std::chrono::minutes(1));
    ASSERT_TRUE(waitUntil([&] { return allAskedTwice(); }, 30s)) << readFile(m_dir / "guessed.txt");
    const std::size_t held = m_server->heldConnections().now;
    EXPECT_GE(held, kGuessers - 4u) << "past the burst of 2 (and a look or two under way)";
    for (const std::string& line : answered()) EXPECT_EQ(line, "401 401 -") << "the burst";
    // The phone beside them proves itself on its connection and is served; none waits the less.
    EXPECT_EQ(curlGet(m_server->port(), "/001a2b3c4d5e.xml",
                      "--digest -u 001a2b3c4d5e:right --interface 127.0.7.100")
                  .status,
              200);
    EXPECT_EQ(m_server->heldConnections().now, held);
    // Stopping with guessers held ends their connections, with nothing served to them.
    m_server->stop();
    EXPECT_EQ(m_guessers->waitForExit(30s), 0);
    const std::vector<std::string> lines = answered();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kGuessers));
    for (const std::string& line : lines) EXPECT_EQ(line.find(" 200"), std::string::npos) << line;
    std::uint64_t refused = 0;
    for (const FetchRecord& record : loggedRecords(m_dir / "fetch.csv")) {
        if (record.status == 403 && net::addressNetworkText(record.peer) == "127.0.7.0/24")
            refused += record.isSummary() ? record.more : 1;
    }
    EXPECT_EQ(refused, held) << "each held request is in the log, refused";
}

TEST_F(HeldGuessersTest, TheHeldAreAnsweredAtTheirTurns) {
    start(20ms);
    EXPECT_EQ(m_guessers->waitForExit(60s), 0);
    const std::vector<std::string> lines = answered();
    EXPECT_EQ(lines, std::vector<std::string>(kGuessers, "401 401 -"));
    const HeldCounts counts = m_server->heldConnections();
    EXPECT_GE(counts.held, 1u) << "some waited for their turns";
    EXPECT_EQ(counts.now, 0u);
}

TEST_F(HeldGuessersTest, PastTheBoundAGuesserIsAnsweredAndItsConnectionClosed) {
    start(std::chrono::minutes(1), 3);
    ASSERT_TRUE(waitUntil([&] { return allAskedTwice(); }, 30s)) << readFile(m_dir / "guessed.txt");
    EXPECT_EQ(m_server->heldConnections().now, 3u);
    std::size_t closed = 0;
    for (const std::string& line : answered()) closed += line == "401 403 close" ? 1 : 0;
    EXPECT_GE(closed, kGuessers - 3u - 4u);
    EXPECT_EQ(m_server->heldConnections().refused, closed);
}

TEST(SafeDefault, PlainConfigurationFilesToEveryAddressNeedCredentialsOrNoAuth) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    const std::string site = (dir / "site").string();
    const ProgramRun refused =
        runProgram(VELQUOR_CLI_BINARY, "serve " + shellQuote(site) + " --address 0.0.0.0 --port 0");
    EXPECT_EQ(refused.status, 1) << refused.output;
    for (const char* way : {"plain configuration files", "/en", "--phone-ca", "--auth-file",
                            "http-password", "--no-auth"})
        EXPECT_NE(refused.output.find(way), std::string::npos) << way << "\n" << refused.output;
    std::unique_ptr<ChildProcess> child;
    const auto output = dir / "out.txt";
    const std::uint16_t port = startServe(child, output, {site, "--no-auth"}, "", "0.0.0.0");
    ASSERT_NE(port, 0);
    EXPECT_NE(readFile(output).find("warning: --no-auth: the plain configuration files of"),
              std::string::npos)
        << readFile(output);
    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").status, 200);
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(30s), 0) << readFile(output);
}

TEST(SafeDefault, ConfigurationFilesAreToldFromOtherText) {
    EXPECT_TRUE(looksLikeConfiguration("<?xml version=\"1.0\"?><config/>"));
    EXPECT_TRUE(looksLikeConfiguration("\xEF\xBB\xBF\n  <settings>"));
    EXPECT_TRUE(looksLikeConfiguration("# site\n\naccount.1.password = secret\n"));
    EXPECT_TRUE(looksLikeConfiguration("[sip]\nuser: 1001\n"));
    EXPECT_FALSE(looksLikeConfiguration("firmware notes\nread me first\n"));
    EXPECT_FALSE(looksLikeConfiguration("d41d8cd98f00b204e9800998ecf8427e  a.xml\n"));
    EXPECT_FALSE(looksLikeConfiguration("< 3 apples\n"));
    EXPECT_FALSE(looksLikeConfiguration(""));
}

TEST(SafeDefault, EncryptedCopiesAndLoopbackAndCredentialsNeedNoMore) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    std::filesystem::create_directory(dir / "en");
    writeFile(dir / "en" / "001A2B3C4D5E.xml", std::string("\x93\x01\xfe\x00\x17\xc4\x88", 7));
    writeFile(dir / "site.htdigest", "site:velquor:0123456789abcdef0123456789abcdef\n");
    const auto startOn = [&](const std::filesystem::path& folder, const std::string& address,
                             bool credentials) {
        ServeOptions options;
        options.folder = folder;
        options.address = address;
        options.port = 0;
        if (credentials) options.authFile = dir / "site.htdigest";
        return PhoneServer::start(std::move(options));
    };
    const auto refused = startOn(dir / "site", "", false);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refusesUnprovenAskers(refused.error()));
    EXPECT_NE(refused.error().message.find("every address"), std::string::npos);
    EXPECT_FALSE(startOn(dir / "site", "::", false));
    EXPECT_TRUE(startOn(dir / "en", "", false)) << "encrypted copies go to anyone";
    EXPECT_TRUE(startOn(dir / "site", "127.0.0.1", false));
    EXPECT_TRUE(startOn(dir / "site", "::1", false));
    EXPECT_TRUE(startOn(dir / "site", "", true));
}

}  // namespace
}  // namespace velquor::serve
