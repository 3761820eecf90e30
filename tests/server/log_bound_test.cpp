// The request log's bound: one line per address and reason per interval, and past the bound on
// addresses one line per reason with the counts; then a real kestod whose login port gets junk
// from more loopback addresses than the bound.
#include "server/requests/log_bound.h"

#include <gtest/gtest.h>

#include <vector>

#include "kestod_fixture.h"
#include "temp_dir.h"

namespace velquor::server {
namespace {

using Clock = LogBound::Clock;

struct Line {
    std::string group;
    std::string text;
};

TEST(LogBoundTest, EachAddressHasItsLineAndPastTheBoundAReasonHasOne) {
    std::vector<Line> lines;
    LogBound bound(
        [&](const std::string& group, std::uint16_t, const std::string& text) {
            lines.push_back({group, text});
        },
        3);
    const auto start = Clock::now();
    EXPECT_TRUE(bound.note("192.0.2.1", 44388, "closed: junk", start));
    EXPECT_FALSE(bound.note("192.0.2.1", 44388, "closed: junk", start)) << "counted";
    EXPECT_TRUE(bound.note("192.0.2.1", 44388, "closed: slow", start)) << "another reason";
    EXPECT_TRUE(bound.note("192.0.2.2", 44388, "closed: junk", start));
    for (int i = 10; i < 20; ++i) {
        EXPECT_FALSE(bound.note("192.0.2." + std::to_string(i), 44388, "closed: junk", start))
            << "past the bound of three";
    }
    EXPECT_FALSE(bound.note("192.0.2.10", 44388, "closed: junk", start));
    EXPECT_EQ(bound.flush(start + std::chrono::seconds(1)), start + LogBound::kInterval);
    EXPECT_TRUE(lines.empty()) << "nothing before the interval ends";

    bound.flush(start + LogBound::kInterval);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].group, "192.0.2.1");
    EXPECT_EQ(lines[0].text, "closed: junk (1 more in the last 10 s)");
    EXPECT_EQ(lines[1].group, "*");
    EXPECT_EQ(lines[1].text,
              "closed: junk: 11 connections from 10 address groups in the last 10 s, past the "
              "log's bound of 3 address groups");
    lines.clear();
    bound.flush(start + 3 * LogBound::kInterval);
    EXPECT_TRUE(lines.empty()) << "a quiet interval writes nothing";
    EXPECT_TRUE(bound.note("192.0.2.2", 44388, "closed: junk", start + 3 * LogBound::kInterval))
        << "a new interval's first gets its line again";
}

}  // namespace
}  // namespace velquor::server

namespace velquor::testing {
namespace {

// 600 loopback addresses, each sending junk to the login port: the log holds at most the
// bound's lines and the summary, not one per address.
TEST(KestodLogBoundTest, JunkFromManyAddressesCostsTheLogABoundedNumberOfLines) {
    KestodFixture server;
    TempDir scratch;
    writeFile(scratch / "junk.py",
              "import socket,sys\n"
              "port=int(sys.argv[1])\n"
              "for i in range(600):\n"
              "    s=socket.socket()\n"
              "    s.bind(('127.1.%d.%d'%(i//200,i%200+1),0))\n"
              "    s.connect(('127.0.0.1',port))\n"
              "    s.sendall(b'\\x16\\x03\\x01\\x00\\x05junk!')\n"
              "    s.recv(100)\n"
              "    s.close()\n");
    int status = -1;
    const std::string output = runCommand("python3 " + shellQuote((scratch / "junk.py").string()) +
                                              " " + std::to_string(server.loginPort()) + " 2>&1",
                                          &status);
    ASSERT_EQ(status, 0) << output;
    ASSERT_TRUE(server.stop());
    const std::string log = server.log();
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find("TLS handshake failed", at)) != log.npos; ++at) {
        ++lines;
    }
    EXPECT_LE(lines, server::LogBound::kMostAddresses + 1) << "bounded in all";
    EXPECT_GE(lines, server::LogBound::kMostAddresses) << "each address within it has its line";
}

}  // namespace
}  // namespace velquor::testing
