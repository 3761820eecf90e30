// What the server's own output and log cannot do to its serving: a reader that never reads, a
// flood of refused requests with long paths, a log on a full disk, a peer's control bytes on
// the terminal; and a transfer cut off is logged as what went out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <mutex>

#include "serve/log/fetch_log_reader.h"
#include "serve/server/phone_server.h"
#include "serve/server/record_queue.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;

constexpr auto kLimit = std::chrono::seconds(60);

// count requests for path, each on a connection of its own, from one Python process; the
// statuses seen and how often, "200:5000 404:3".
std::string requestMany(std::uint16_t port, int count, const std::string& path,
                        const std::string& agent = "phone") {
    TempDir scratch;
    writeFile(scratch / "many.py",
              "import socket,sys,collections\n"
              "port,count,path,agent=int(sys.argv[1]),int(sys.argv[2]),sys.argv[3],sys.argv[4]\n"
              "req=('GET %s HTTP/1.1\\r\\nHost: x\\r\\nUser-Agent: %s\\r\\n"
              "Connection: close\\r\\n\\r\\n'%(path,agent)).encode()\n"
              "socket.setdefaulttimeout(20)\n"  // a server that stops answering fails
              "seen=collections.Counter()\n"
              "for i in range(count):\n"
              "    s=socket.create_connection(('127.0.0.1',port))\n"
              "    s.sendall(req)\n"
              "    data=b''\n"
              "    while True:\n"
              "        c=s.recv(65536)\n"
              "        if not c: break\n"
              "        data+=c\n"
              "    s.close()\n"
              "    parts=data.split(b' ')\n"
              "    seen[parts[1].decode() if len(parts)>1 else '0']+=1\n"
              "print(' '.join('%s:%d'%kv for kv in sorted(seen.items())))\n");
    std::string seen = runCommand("python3 " + shellQuote((scratch / "many.py").string()) + " " +
                                  std::to_string(port) + " " + std::to_string(count) + " " +
                                  shellQuote(path) + " " + shellQuote(agent));
    while (!seen.empty() && seen.back() == '\n') seen.pop_back();
    return seen;
}

class ServeOutputTest : public ::testing::Test {
protected:
    void SetUp() override { writeSiteFolder(m_dir / "site"); }

    std::unique_ptr<PhoneServer> start(ServeOptions options, PhoneServer::RecordSink sink = {}) {
        serveOnLoopback(options, m_dir.path());
        options.logFile = m_dir / "fetch.csv";
        auto server = PhoneServer::start(std::move(options), std::move(sink));
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    std::vector<FetchRecord> logged() { return loggedRecords(m_dir / "fetch.csv"); }

    TempDir m_dir;
};

TEST_F(ServeOutputTest, ASinkThatNeverReturnsStopsNoServingAndWhatItMissesIsCounted) {
    std::mutex mutex;
    std::condition_variable released;
    bool free = false;
    std::size_t taken = 0;
    auto server = start({}, [&](const std::vector<FetchRecord>& records) {
        std::unique_lock lock(mutex);
        taken += records.size();
        released.wait(lock, [&] { return free; });
    });
    ASSERT_TRUE(server);
    // The first call may take up to a queue's worth (on a loaded machine the requests outrun
    // the writer's first look), and a queue's worth more waits: 600 past both are dropped.
    const int count = 2 * static_cast<int>(RecordQueue::kMostWaiting) + 600;
    EXPECT_EQ(requestMany(server->port(), count, "/001a2b3c4d5e.xml"),
              "200:" + std::to_string(count));
    // The records of the first call in the sink, a queue's worth waiting, the rest dropped.
    const auto accounted = [&] {
        std::lock_guard lock(mutex);
        return taken + RecordQueue::kMostWaiting + server->outputDropped() == std::size_t(count);
    };
    EXPECT_TRUE(waitUntil(accounted, kLimit));
    EXPECT_GT(server->outputDropped(), 0u);
    {
        std::lock_guard lock(mutex);
        free = true;
    }
    released.notify_all();
    const std::uint64_t dropped = server->outputDropped();
    server.reset();
    EXPECT_EQ(taken + dropped, std::uint64_t(count));  // each one either taken or counted
    EXPECT_EQ(logged().size(), std::size_t(count));    // the log has every one
}

TEST_F(ServeOutputTest, AFloodOfRefusedLongPathsGrowsTheLogByAFewShortLines) {
    ServeOptions options;
    options.allowed.add(*parsePeerRange("10.0.0.0/8"));
    auto server = start(options);
    ASSERT_TRUE(server);
    // As long as the request's bound lets them be.
    const std::string path = "/" + std::string(15000, 'a') + ".xml";
    EXPECT_EQ(requestMany(server->port(), 300, path, std::string(300, ',')), "403:300");
    server.reset();
    const std::vector<FetchRecord> records = logged();
    std::uint64_t requests = 0;
    for (const FetchRecord& record : records) {
        requests += record.isSummary() ? record.more : 1;
        EXPECT_EQ(record.status, 403);
    }
    EXPECT_EQ(requests, 300u);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].path.substr(0, 4), "/aaa");
    EXPECT_TRUE(records[0].path.ends_with(" [+14749 bytes cut]")) << records[0].path;
    EXPECT_TRUE(records[0].userAgent.ends_with(" [+44 bytes cut]"));
    EXPECT_EQ(records[1].peer, "127.0.0.0/24");
    EXPECT_LT(std::filesystem::file_size(m_dir / "fetch.csv"), 4096u * records.size());
}

TEST_F(ServeOutputTest, ATransferCutOffIsLoggedWithTheBytesThatWentOutAndNotCompleted) {
    constexpr std::uint64_t kSize = 256ull << 20;
    const int fd = ::open((m_dir / "site" / "firmware.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kSize)), 0);
    ::close(fd);
    auto server = start({});
    ASSERT_TRUE(server);
    TempDir scratch;
    writeFile(scratch / "cut.py",
              "import socket,sys\n"
              "s=socket.create_connection(('127.0.0.1'," +
                  std::to_string(server->port()) +
                  "))\n"
                  "s.sendall(b'GET /firmware.bin HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n')\n"
                  "got=0\n"
                  "while got<1048576:\n"
                  "    got+=len(s.recv(65536))\n"
                  "s.close()\n");
    runCommand("python3 " + shellQuote((scratch / "cut.py").string()));
    ASSERT_TRUE(waitUntil([&] { return server->requestCount() == 1; }, kLimit));
    server.reset();
    const std::vector<FetchRecord> records = logged();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].file, "firmware.bin");
    EXPECT_FALSE(records[0].completed);
    EXPECT_GE(records[0].bytes, 1048576u);  // the client read that much
    EXPECT_LT(records[0].bytes, kSize);
}

// The end of a pipe nobody reads: the test holds it open and never reads.
class UnreadPipe {
public:
    explicit UnreadPipe(const std::filesystem::path& path) {
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(m_fd, 0);
    }
    ~UnreadPipe() { ::close(m_fd); }
    UnreadPipe(const UnreadPipe&) = delete;
    UnreadPipe& operator=(const UnreadPipe&) = delete;

private:
    int m_fd = -1;
};

TEST_F(ServeOutputTest, TheCliServesOnWhenItsOutputIsNeverReadAndPrintsAPeersBytesEscaped) {
    UnreadPipe pipe(m_dir / "stdout");
    std::unique_ptr<ChildProcess> child;
    const std::uint16_t port =
        startServe(child, m_dir / "err.txt",
                   {(m_dir / "site").string(), "--log", (m_dir / "fetch.csv").string()},
                   "exec \"$@\" >" + shellQuote((m_dir / "stdout").string()));
    ASSERT_NE(port, 0);
    const int count = static_cast<int>(RecordQueue::kMostWaiting) + 2000;
    EXPECT_EQ(requestMany(port, count, "/common.cfg"), "200:" + std::to_string(count));
    ASSERT_TRUE(child->waitUntilHandling(SIGTERM, kLimit));
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(kLimit), 0);
    const std::string err = readFile(m_dir / "err.txt");
    EXPECT_NE(err.find(" request lines were not printed: standard output was not read fast "
                       "enough (the fetch log has them)"),
              std::string::npos)
        << err;
    EXPECT_EQ(logged().size(), std::size_t(count));

    // Read, its lines show what a peer sent without acting on the terminal.
    child.reset();
    const std::uint16_t again =
        startServe(child, m_dir / "out.txt",
                   {(m_dir / "site").string(), "--log", (m_dir / "again.csv").string()});
    ASSERT_NE(again, 0);
    EXPECT_EQ(rawRequestStatus(again,
                               "G\x1b[2J\x9b"
                               "1mET /common.cfg HTTP/1.0\r\n\r\n") /
                  100,
              4);
    EXPECT_EQ(curlGet(again, "/common.cfg", "-A " + shellQuote("x\x1b]0;owned\x07")).status, 200);
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(m_dir / "out.txt").find("owned") != std::string::npos; }, kLimit));
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(kLimit), 0);
    const std::string out = readFile(m_dir / "out.txt");
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_EQ(out.find('\x07'), std::string::npos) << out;
    EXPECT_EQ(out.find('\x9b'), std::string::npos) << out;
    EXPECT_NE(out.find("\tG\\x1b[2J\\x9b1mET\t"), std::string::npos) << out;
}

TEST_F(ServeOutputTest, TheCliWarnsWithTheCountWhenTheLogCannotBeWritten) {
    std::unique_ptr<ChildProcess> child;
    // A full disk: no file of the server may grow past 8 KiB (SIGXFSZ ignored, as ENOSPC sends
    // none); its log's header and a few lines fit.
    const std::uint16_t port =
        startServe(child, m_dir / "err.txt",
                   {(m_dir / "site").string(), "--log", (m_dir / "fetch.csv").string()},
                   "trap '' XFSZ; ulimit -f 8; exec \"$@\" >/dev/null");
    ASSERT_NE(port, 0);
    // Each line about 900 bytes: the log's bound of waiting lines is passed after some 1,200.
    const int count = 2000;
    EXPECT_EQ(requestMany(port, count, "/001a2b3c4d5e.xml", std::string(256, ',')),
              "200:" + std::to_string(count));
    ASSERT_TRUE(child->waitUntilHandling(SIGTERM, kLimit));
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(kLimit), 1);
    const std::string err = readFile(m_dir / "err.txt");
    EXPECT_NE(err.find("cannot write the fetch log"), std::string::npos) << err;
    const auto warning = err.find(" lines could not be written to the fetch log and were dropped");
    ASSERT_NE(warning, std::string::npos) << err;
    const std::uint64_t dropped =
        std::stoull(err.substr(err.rfind("warning: ", warning) + 9, warning));
    EXPECT_GT(dropped, 0u);
    // The log holds whole records only, fewer than were served by those dropped at least.
    EXPECT_LE(logged().size() + dropped, std::size_t(count));
}

}  // namespace
}  // namespace velquor::serve
