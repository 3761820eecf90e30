// velquor-cli kesto against a real kestod: MAC addresses typed with --mac, the rows of an
// earlier report sent again with --retry (and only those), a MAC file checked against the
// account, and a batch whose login ends because kestod restarted under it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

#include "kesto_e2e_support.h"
#include "mac/mac_address.h"

#ifndef VELQUOR_CLI_BINARY
#error "VELQUOR_CLI_BINARY must name the velquor-cli program"
#endif

namespace velquor::testing {
namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// A TCP forwarder on loopback that runs a step of the test when its first connection arrives,
// before passing a byte of it on.
class HookedProxy {
public:
    HookedProxy(std::uint16_t target, std::function<void()> onFirstConnection)
        : m_target(target), m_hook(std::move(onFirstConnection)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 64) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("the proxy cannot listen");
        }
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~HookedProxy() {
        m_stopping = true;
        m_acceptor.join();
        for (auto& relay : m_relays) relay.join();
        ::close(m_listener);
    }
    HookedProxy(const HookedProxy&) = delete;
    HookedProxy& operator=(const HookedProxy&) = delete;

    std::uint16_t port() const { return m_port; }

private:
    static sockaddr_in loopback(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void acceptLoop() {
        while (!m_stopping) {
            pollfd listener{m_listener, POLLIN, 0};
            if (::poll(&listener, 1, 50) <= 0) continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const bool first = m_accepted++ == 0;
            m_relays.emplace_back([this, client, first] { relay(client, first); });
        }
    }

    // Every later connection waits for the hook too: the server is not there meanwhile.
    void relay(int client, bool first) {
        if (first) {
            m_hook();
            m_hookDone = true;
        }
        while (!m_hookDone && !m_stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(m_target);
        if (::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            pump(client, upstream);
        }
        ::close(upstream);
        ::close(client);
    }

    void pump(int client, int upstream) {
        pollfd ends[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        char buffer[16384];
        for (int open = 2; open > 0 && !m_stopping;) {
            if (::poll(ends, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (ends[i].fd < 0 || (ends[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                const ssize_t got = ::read(ends[i].fd, buffer, sizeof buffer);
                const int other = i == 0 ? upstream : client;
                if (got <= 0) {
                    ::shutdown(other, SHUT_WR);
                    ends[i].fd = -1;
                    --open;
                    continue;
                }
                for (ssize_t sent = 0; sent < got;) {
                    const ssize_t wrote =
                        ::write(other, buffer + sent, static_cast<std::size_t>(got - sent));
                    if (wrote <= 0) return;
                    sent += wrote;
                }
            }
        }
    }

    std::uint16_t m_target;
    std::function<void()> m_hook;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_hookDone{false};
    std::atomic<int> m_accepted{0};
    std::vector<std::thread> m_relays;  // the acceptor's until it is joined
    std::thread m_acceptor;
};

class KestoRetryCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeOperator(server, "alice", "alice-pass");
        makeOperator(server, "bob", "bob-pass");
        writeFile(dir / "alice-pw", "alice-pass\n");
        writeFile(dir / "bob-pw", "bob-pass\n");
    }

    // "velquor-cli kesto <server options> --user USER --password-file PW <arguments>",
    // detached from any terminal; the device port may be a proxy's.
    CliRun kesto(const std::string& user, const std::string& arguments,
                 std::uint16_t devicePort = 0, const std::string& before = "") {
        const auto& ports = server.ports();
        const std::string command = before + "setsid -w " + shellQuote(VELQUOR_CLI_BINARY) +
                                    " kesto --host 127.0.0.1 --ports " + std::to_string(ports[0]) +
                                    "," + std::to_string(ports[1]) + "," +
                                    std::to_string(devicePort != 0 ? devicePort : ports[2]) +
                                    " --cafile " + shellQuote(server.caCertPath().string()) +
                                    " --user " + user + " " + arguments + " 2> " +
                                    shellQuote((dir / "stderr").string());
        CliRun run;
        run.out = runCommand(command, &run.status);
        run.err = readFile(dir / "stderr");
        return run;
    }
    std::string passwordOf(const std::string& user) const {
        return "--password-file " + shellQuote((dir / (user + "-pw")).string()) + " ";
    }
    std::string path(const std::string& name) const { return shellQuote((dir / name).string()); }

    // The canonical MACs the user's device list prints.
    std::set<std::string> listed(const std::string& user) {
        const CliRun run = kesto(user, passwordOf(user) + "device list --csv -");
        EXPECT_EQ(run.status, 0) << run.err;
        std::set<std::string> macs;
        std::istringstream lines(run.out);
        std::string line;
        std::getline(lines, line);  // the header
        while (std::getline(lines, line)) macs.insert(line.substr(0, line.find(',')));
        return macs;
    }

    std::vector<LoggedRequest> adds() const {
        std::vector<LoggedRequest> found;
        for (const auto& request : requestsOnPort(server, server.devicePort())) {
            if (request.operation == "ADD") found.push_back(request);
        }
        return found;
    }

    // kesto() through a device port whose first connection waits until kestod has restarted,
    // which ends every grant of a SQLite store. The restart is this thread's: the fixture's server
    // must not end with the proxy's thread.
    CliRun kestoAcrossARestart(const std::string& arguments, const std::string& before = "") {
        std::promise<void> arrived;
        std::promise<void> restarted;
        std::shared_future<void> restartDone = restarted.get_future().share();
        HookedProxy proxy(server.devicePort(), [&arrived, restartDone] {
            arrived.set_value();
            restartDone.wait();
        });
        auto run = std::async(std::launch::async,
                              [&] { return kesto("alice", arguments, proxy.port(), before); });
        const bool came =
            arrived.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        // On PostgreSQL, whose grants the instances share, a restart keeps them: the
        // password set again (to the same) ends them there.
        if (came && server.store() == StoreKind::Postgres) {
            EXPECT_EQ(server.setPassword("alice", "alice-pass"), 0);
        } else if (came) {
            server.restart();
        }
        restarted.set_value();
        EXPECT_TRUE(came) << "the batch never reached the device port";
        return run.get();
    }

    static std::string canonical(const std::string& mac) { return *mac::canonicalMac(mac); }

    KestodFixture server;
    TempDir dir;
};

std::vector<std::vector<std::string>> oneMacPerRow(const std::vector<std::string>& macs) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& mac : macs) rows.push_back({mac});
    return rows;
}

// The report's outcome column, counted.
std::map<std::string, int> outcomesIn(const std::string& report) {
    std::map<std::string, int> counts;
    std::istringstream lines(report);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
        if (cells.size() >= 6) ++counts[cells[5]];
    }
    return counts;
}

TEST_F(KestoRetryCliTest, TypedMacsAreAddedAndDeletedWithoutAFile) {
    const auto macs = macAddresses(0x71, 3);
    const CliRun added = kesto("alice", passwordOf("alice") + "device add --mac " + macs[0] +
                                            " --mac '" + macs[1] + "," + macs[2] +
                                            "' --server-field https://a.example/ --replace none"
                                            " --report " +
                                            path("typed.csv"));
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(listed("alice"),
              (std::set<std::string>{canonical(macs[0]), canonical(macs[1]), canonical(macs[2])}));
    EXPECT_EQ(readFile(dir / "typed.csv"),
              "row,column,cell,mac,operation,outcome,reason,retry\r\n1,1,A1," + macs[0] +
                  ",add,added,,\r\n2,1,A2," + macs[1] + ",add,added,,\r\n3,1,A3," + macs[2] +
                  ",add,added,,\r\n");

    const CliRun deleted = kesto("alice", passwordOf("alice") + "device del --mac " + macs[1] +
                                              " --server-field https://a.example/");
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_EQ(listed("alice"), (std::set<std::string>{canonical(macs[0]), canonical(macs[2])}));

    const CliRun mistyped = kesto(
        "alice", passwordOf("alice") + "device add --mac MAC --server-field x --replace none");
    EXPECT_EQ(mistyped.status, 2);
    EXPECT_NE(mistyped.err.find("--mac MAC: "), std::string::npos) << mistyped.err;
}

// The report's lines of these MACs, each with its retry cell.
std::map<std::string, std::string> retryCellsOf(const std::string& report,
                                                const std::vector<std::string>& macs) {
    std::map<std::string, std::string> cells;
    for (const std::string& mac : macs) {
        const std::size_t line = report.find("," + mac + ",");
        if (line == std::string::npos) continue;
        const std::size_t end = report.find("\r\n", line);
        const std::size_t comma = report.rfind(',', end);
        cells[mac] = report.substr(comma + 1, end - comma - 1);
    }
    return cells;
}

// 295 rows added and 5 failed (the phones were bob's). Bob's hold can end, so those rows are
// the retry's: sent again while bob holds them they fail again, and once he lets them go
// exactly they are sent and added. Then nothing is left to send, and a row the report marks
// as answered for good is named and kept, and the retry ends with status 1.
TEST_F(KestoRetryCliTest, RetrySendsTheRowsAnotherAccountHeldAndKeepsThoseAnsweredForGood) {
    std::vector<std::string> macs;
    for (int prefix = 0x80; prefix < 0x82; ++prefix) {
        for (const auto& mac : macAddresses(prefix, 150)) macs.push_back(mac);
    }
    const auto file = writeMacFile(dir, "macs.csv", oneMacPerRow(macs));
    const std::vector<std::string> bobs = {macs[3], macs[77], macs[150], macs[200], macs[299]};
    std::string typed;
    for (const auto& mac : bobs) typed += " --mac " + mac;
    ASSERT_EQ(kesto("bob", passwordOf("bob") + "device add" + typed +
                               " --server-field https://b.example/ --replace none")
                  .status,
              0);

    const CliRun first =
        kesto("alice", passwordOf("alice") + "device add " + shellQuote(file.string()) +
                           " --server-field https://a.example/ --replace none "
                           "--report " +
                           path("R.csv"));
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(outcomesIn(readFile(dir / "R.csv")),
              (std::map<std::string, int>{{"added", 295}, {"failed", 5}}));
    const std::map<std::string, std::string> allYes = {
        {bobs[0], "yes"}, {bobs[1], "yes"}, {bobs[2], "yes"}, {bobs[3], "yes"}, {bobs[4], "yes"}};
    EXPECT_EQ(retryCellsOf(readFile(dir / "R.csv"), bobs), allYes);

    const std::string retry = "device add --retry " + path("R.csv") +
                              " --server-field https://a.example/ --replace none --report " +
                              path("R.csv");
    std::size_t addsBefore = adds().size();
    const CliRun stillHeld = kesto("alice", passwordOf("alice") + retry);
    EXPECT_EQ(stillHeld.status, 1) << stillHeld.err;
    EXPECT_EQ(adds().size(), addsBefore + 5);
    EXPECT_EQ(outcomesIn(readFile(dir / "R.csv")),
              (std::map<std::string, int>{{"added", 295}, {"failed", 5}}));
    EXPECT_EQ(retryCellsOf(readFile(dir / "R.csv"), bobs), allYes);

    ASSERT_EQ(kesto("bob", passwordOf("bob") + "device del" + typed + " --server-field x").status,
              0);
    addsBefore = adds().size();
    const CliRun freed = kesto("alice", passwordOf("alice") + retry);
    ASSERT_EQ(freed.status, 0) << freed.err;
    const auto after = requestsOnPort(server, server.devicePort());
    std::set<std::string> sent;
    for (std::size_t i = 0, seen = 0; i < after.size(); ++i) {
        if (after[i].operation != "ADD") continue;
        if (seen++ >= addsBefore) sent.insert(after[i].mac);
    }
    std::set<std::string> bobsCanonical;
    for (const auto& mac : bobs) bobsCanonical.insert(canonical(mac));
    EXPECT_EQ(sent, bobsCanonical);
    EXPECT_EQ(outcomesIn(readFile(dir / "R.csv")), (std::map<std::string, int>{{"added", 300}}));
    EXPECT_EQ(listed("alice").size(), 300u);

    // Nothing is left to send: said so, nothing sent, done.
    addsBefore = adds().size();
    const CliRun nothing = kesto("alice", passwordOf("alice") + "device add --retry " +
                                              path("R.csv") + " --server-field x --replace none");
    EXPECT_EQ(nothing.status, 0);
    EXPECT_NE(nothing.err.find("nothing to retry, nothing sent"), std::string::npos) << nothing.err;

    // A row answered for good (its retry cell says no) is named, kept and not sent.
    std::string report = readFile(dir / "R.csv");
    const std::string addedLine = "," + bobs[0] + ",add,added,,\r\n";
    const std::size_t at = report.find(addedLine);
    ASSERT_NE(at, std::string::npos);
    report.replace(at, addedLine.size(),
                   "," + bobs[0] + ",add,failed,the server does not accept it,no\r\n");
    writeFile(dir / "R.csv", report);
    const CliRun kept = kesto("alice", passwordOf("alice") + retry);
    EXPECT_EQ(kept.status, 1) << kept.err;
    EXPECT_NE(kept.err.find("A4 " + bobs[0] + ": not retried, the server answered it for good"),
              std::string::npos)
        << kept.err;
    EXPECT_NE(kept.err.find("nothing to retry, nothing sent"), std::string::npos) << kept.err;

    // A report of the other command, or no report at all, is refused unsent.
    const CliRun wrong = kesto(
        "alice", passwordOf("alice") + "device del --retry " + path("R.csv") + " --server-field x");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("is a report of device add"), std::string::npos) << wrong.err;
    const CliRun notReport =
        kesto("alice", passwordOf("alice") + "device add --retry " + shellQuote(file.string()) +
                           " --server-field x --replace none");
    EXPECT_EQ(notReport.status, 1);
    EXPECT_NE(notReport.err.find("is not a device report"), std::string::npos) << notReport.err;
    EXPECT_EQ(adds().size(), addsBefore);
}

TEST_F(KestoRetryCliTest, CheckingAMacFileTellsEachOutcomeAndExitsZeroOnlyWhenAllAreYours) {
    const auto mine = macAddresses(0x90, 3);
    const auto unknown = macAddresses(0x91, 2);
    const auto bobs = macAddresses(0x92, 1);
    ASSERT_EQ(kesto("alice", passwordOf("alice") + "device add --mac " + mine[0] + " --mac " +
                                 mine[1] + " --mac " + mine[2] +
                                 " --server-field https://a.example/ --replace none")
                  .status,
              0);
    ASSERT_EQ(kesto("bob", passwordOf("bob") + "device add --mac " + bobs[0] +
                               " --server-field https://b.example/ --replace none")
                  .status,
              0);
    const auto file = writeMacFile(
        dir, "site.csv",
        {{"MAC"}, {mine[0]}, {unknown[0]}, {mine[1]}, {bobs[0]}, {unknown[1]}, {mine[2]}});
    const CliRun mixed = kesto(
        "alice", passwordOf("alice") + "device check " + shellQuote(file.string()) + " --csv -");
    EXPECT_EQ(mixed.status, 1) << mixed.err;
    const std::string a = "https://a.example/";
    const std::string never = ",never asked\r\n";
    EXPECT_EQ(mixed.out, "mac,outcome,server,asked\r\n" + canonical(mine[0]) + ",registered," + a +
                             never + canonical(unknown[0]) + ",not registered,,\r\n" +
                             canonical(mine[1]) + ",registered," + a + never + canonical(bobs[0]) +
                             ",another account,,\r\n" + canonical(unknown[1]) +
                             ",not registered,,\r\n" + canonical(mine[2]) + ",registered," + a +
                             never);

    const auto only = writeMacFile(dir, "mine.csv", {{mine[2]}, {mine[0]}, {mine[1]}});
    const CliRun yours =
        kesto("alice", passwordOf("alice") + "device check " + shellQuote(only.string()));
    EXPECT_EQ(yours.status, 0) << yours.err;
    EXPECT_NE(yours.out.find("registered"), std::string::npos);

    // A cell that is no MAC address is named and keeps the exit status at 1.
    const auto odd = writeMacFile(dir, "odd.csv", {{mine[0]}, {"not-a-mac"}, {mine[1]}});
    const CliRun refused =
        kesto("alice", passwordOf("alice") + "device check " + shellQuote(odd.string()));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("A2 not-a-mac: "), std::string::npos) << refused.err;
}

// kestod restarts after the login and before the first device request: every grant is gone.
TEST_F(KestoRetryCliTest, AfterARestartTheBatchLogsInAgainWithAPasswordFile) {
    const auto macs = macAddresses(0xa0, 40);
    const auto file = writeMacFile(dir, "macs.csv", oneMacPerRow(macs));
    const CliRun run = kestoAcrossARestart(
        passwordOf("alice") + "device add " + shellQuote(file.string()) +
        " --server-field https://a.example/ --replace none --report " + path("r.csv"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("the login to 127.0.0.1 has ended; logging in again"), std::string::npos)
        << run.err;
    EXPECT_EQ(outcomesIn(readFile(dir / "r.csv")), (std::map<std::string, int>{{"added", 40}}));
    EXPECT_EQ(listed("alice").size(), 40u);
}

// A loopback port bound and never listened on: every connection to it is refused.
class RefusingPort {
public:
    RefusingPort() : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot bind a loopback port");
        }
        m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(m_socket); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_socket;
    std::uint16_t m_port = 0;
};

// A report's lines, each split at its commas (the reports of this test quote nothing).
std::vector<std::vector<std::string>> csvLines(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        EXPECT_EQ(line.find('"'), std::string::npos) << line;
        std::vector<std::string> cells;
        std::size_t at = 0;
        for (std::size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1)
            cells.push_back(line.substr(at, comma - at));
        cells.push_back(line.substr(at));
        lines.push_back(std::move(cells));
    }
    return lines;
}

// The first run found the device port shut, so every row went unsent; the retry of the whole
// report sends them all, row by row as it reads them, and writes the report the first run
// would have written with the server up: each row added, the header, the repeat and the cell
// that is no MAC address as they were, every line in its place.
TEST_F(KestoRetryCliTest, RetryOfEveryRowWritesTheReportOfARunThatSentThem) {
    const auto macs = macAddresses(0x91, 240);
    std::vector<std::vector<std::string>> rows{{"MAC"}};
    for (std::size_t i = 0; i < macs.size(); ++i) {
        rows.push_back({macs[i]});
        if (i == 100) rows.push_back({macs[7]});
        if (i == 150) rows.push_back({"not-a-mac"});
    }
    const auto file = writeMacFile(dir, "macs.csv", rows);
    std::string firstReport;
    {
        RefusingPort shut;
        const CliRun first = kesto("alice",
                                   passwordOf("alice") + "device add " + shellQuote(file.string()) +
                                       " --server-field https://a.example/ --replace none "
                                       "--report " +
                                       path("R.csv"),
                                   shut.port());
        EXPECT_EQ(first.status, 1) << first.err;
        firstReport = readFile(dir / "R.csv");
    }
    EXPECT_EQ(outcomesIn(firstReport),
              (std::map<std::string, int>{{"not sent", 240}, {"skipped", 2}, {"refused", 1}}));

    const CliRun retry = kesto(
        "alice", passwordOf("alice") + "device add --retry " + path("R.csv") +
                     " --server-field https://a.example/ --replace none --report " + path("M.csv"));
    ASSERT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(listed("alice").size(), 240u);
    auto expected = csvLines(firstReport);
    for (auto& line : expected) {
        if (line.size() == 8 && line[5] == "not sent")
            line = {line[0], line[1], line[2], line[3], "add", "added", "", ""};
    }
    EXPECT_EQ(csvLines(readFile(dir / "M.csv")), expected);
}

// A password piped in cannot be read again: the batch stops, the rest is "not sent", and a
// retry with a password file finishes the job.
TEST_F(KestoRetryCliTest, AfterARestartAPipedPasswordStopsTheBatchWithTheRestNotSent) {
    const auto macs = macAddresses(0xa1, 30);
    const auto file = writeMacFile(dir, "macs.csv", oneMacPerRow(macs));
    const CliRun run = kestoAcrossARestart(
        "--password-file - device add " + shellQuote(file.string()) +
            " --server-field https://a.example/ --replace none --report " + path("r.csv"),
        "printf 'alice-pass\\n' | ");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the password cannot be read again"), std::string::npos) << run.err;
    EXPECT_EQ(outcomesIn(readFile(dir / "r.csv")), (std::map<std::string, int>{{"not sent", 30}}));
    const CliRun retry =
        kesto("alice", passwordOf("alice") + "device add --retry " + path("r.csv") +
                           " --server-field https://a.example/ --replace none");
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(listed("alice").size(), 30u);
}

}  // namespace
}  // namespace velquor::testing
