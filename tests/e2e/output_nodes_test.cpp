// Every output option of velquor-cli given a node that is no regular file, as root meets it
// when a script says --csv /dev/null: a private null device made with mknod and a FIFO whose
// reader waits. Each option writes through (the FIFO's reader gets the report) or refuses with
// the reason; none replaces the node. Only root can make a device node: elsewhere the test says
// so and is skipped (CI runs as root).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "kesto_e2e_support.h"

#ifndef VELQUOR_CLI_BINARY
#error "VELQUOR_CLI_BINARY must name the velquor-cli program"
#endif

namespace velquor::testing {
namespace {

namespace fs = std::filesystem;

// Reads a FIFO from before its writer comes until the test says the writer is done, so that a
// writer held up by a full pipe goes on and one that never comes leaves nothing read.
class FifoDrain {
public:
    explicit FifoDrain(const fs::path& fifo)
        : m_fd(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
          m_thread([this] { drain(); }) {}
    ~FifoDrain() { finish(); }
    FifoDrain(const FifoDrain&) = delete;
    FifoDrain& operator=(const FifoDrain&) = delete;

    // What the writer put in, once its program has ended.
    std::string finish() {
        m_writerDone = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        return m_received;
    }

private:
    void drain() {
        char buffer[65536];
        for (;;) {
            const bool last = m_writerDone;
            pollfd readable{m_fd, POLLIN, 0};
            ::poll(&readable, 1, 20);
            ssize_t n = 0;
            while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
                m_received.append(buffer, static_cast<std::size_t>(n));
            if (last) return;
        }
    }

    int m_fd;
    std::string m_received;
    std::atomic<bool> m_writerDone{false};
    std::thread m_thread;
};

// One output option: the command that writes it, NODE where the output's path goes, and what
// its output begins with. Each ends as it ends when NODE is a regular file, but for the fetch
// log, which must be read back and refuses any other node.
struct OutputOption {
    std::string name;
    std::string command;
    std::string begins;
};

class OutputNodesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "only root can make a device node with mknod";
        makeOperator(server, "alice", "pw");
        writeFile(dir / "pw", "pw\n");
        writeFile(dir / "key", "phones-key-16byt\n");
        macs = macAddresses(0x5a, 3);
        writeFile(dir / "devices.csv",
                  "MAC,Display name,User ID,Auth ID,Password,Proxy,SIP port\n" + macs[0] +
                      ",Phone 1,1001,1001,pw1,sip.example.lan,5060\n" + macs[1] +
                      ",Phone 2,1002,1002,pw2,sip.example.lan,5060\n");
        writeFile(dir / "retry.csv",
                  "row,column,cell,mac,operation,outcome,reason,retry\r\n1,1,A1," + macs[2] +
                      ",add,not sent,the batch stopped,yes\r\n");
        writeFile(dir / "plain.xml", "<config><name>Phone</name></config>\n");
        const ProgramRun generated =
            cli("generate -t " + templatePath() + " -s devices.csv -o out --key-file key");
        ASSERT_EQ(generated.status, 0) << generated.output;
    }

    static std::string templatePath() {
        return shellQuote((fs::path(VELQUOR_SOURCE_DIR) / "examples" / "template.xml").string());
    }

    // velquor-cli with the arguments, in the test's folder.
    ProgramRun cli(const std::string& arguments) const {
        ProgramRun result;
        result.output =
            runCommand("cd " + shellQuote(dir.path().string()) + " && " +
                           shellQuote(VELQUOR_CLI_BINARY) + " " + arguments + " 2>&1 < /dev/null",
                       &result.status);
        return result;
    }

    std::string kesto(const std::string& arguments) const {
        const auto& ports = server.ports();
        return "kesto --host 127.0.0.1 --ports " + std::to_string(ports[0]) + "," +
               std::to_string(ports[1]) + "," + std::to_string(ports[2]) + " --cafile " +
               shellQuote(server.caCertPath().string()) + " --user alice --password-file pw " +
               arguments;
    }

    std::vector<OutputOption> options() const {
        const std::string csvHeader = "row,column,cell,mac,operation,outcome,reason";
        return {
            {"device check --csv", kesto("device check --mac " + macs[0] + " --csv NODE"), "mac"},
            {"device check --out --csv",
             kesto("device check devices.csv --column A --out out --key-file key --csv NODE"),
             "row,"},
            {"device check --out --report",
             kesto("device check devices.csv --column A --out out --key-file key --report NODE"),
             "row,"},
            {"device list --csv", kesto("device list --csv NODE"), "mac"},
            {"device add --report",
             kesto("device add --mac " + macs[1] +
                   " --server-field https://a.example/ --replace all "
                   "--report NODE"),
             csvHeader},
            {"device add --check --report",
             kesto("device add devices.csv --check --column A --report NODE"), csvHeader},
            {"device add --retry --report",
             kesto("device add --retry retry.csv --server-field https://a.example/ --replace all "
                   "--report NODE"),
             csvHeader},
            {"generate --report",
             "generate -t " + templatePath() + " -s devices.csv -o out2 --report NODE", "row"},
            {"serve --report", "serve out/en --address 127.0.0.1 --port 0 --for 1s --report NODE",
             "mac"},
            {"serve --log", "serve out/en --address 127.0.0.1 --port 0 --for 1s --log NODE", ""},
            {"encrypt OUTPUT", "encrypt --key-file key plain.xml NODE", ""},
            {"decrypt OUTPUT", "decrypt --key-file key out/en/" + macs[0] + ".xml NODE", "<"},
        };
    }

    ProgramRun run(const OutputOption& option, const fs::path& node) const {
        std::string command = option.command;
        command.replace(command.find("NODE"), 4, shellQuote(node.string()));
        return cli(command);
    }

    KestodFixture server;
    TempDir dir;
    std::vector<std::string> macs;
};

// The null device's numbers: what --csv /dev/null run as root meets.
TEST_F(OutputNodesTest, EveryOutputOptionWritesThroughADeviceNodeOrRefusesItAndLeavesItWhole) {
    const fs::path null = dir / "null";
    ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    ASSERT_EQ(::chmod(null.c_str(), 0666), 0);
    for (const OutputOption& option : options()) {
        SCOPED_TRACE(option.name);
        const int expected = run(option, dir / ("regular-" + option.name)).status;
        const ProgramRun result = run(option, null);
        struct stat info {};
        ASSERT_EQ(::lstat(null.c_str(), &info), 0);
        EXPECT_TRUE(S_ISCHR(info.st_mode)) << "replaced: " << result.output;
        EXPECT_EQ(info.st_rdev, ::makedev(1, 3));
        EXPECT_EQ(info.st_mode & 07777, 0666u);
        if (option.name == "serve --log") {
            EXPECT_NE(result.status, 0);
            EXPECT_NE(result.output.find("is not a regular file"), std::string::npos)
                << result.output;
        } else {
            EXPECT_EQ(result.status, expected) << result.output;
        }
    }
}

TEST_F(OutputNodesTest, EveryOutputOptionGivesAWaitingFifoItsBytesOrRefusesIt) {
    const fs::path fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const OutputOption& option : options()) {
        SCOPED_TRACE(option.name);
        const int expected = run(option, dir / ("regular-" + option.name)).status;
        FifoDrain reader(fifo);
        const ProgramRun result = run(option, fifo);
        const std::string received = reader.finish();
        struct stat info {};
        ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "replaced: " << result.output;
        if (option.name == "serve --log") {
            EXPECT_NE(result.status, 0);
            EXPECT_EQ(received, "");
            continue;
        }
        EXPECT_EQ(result.status, expected) << result.output;
        if (option.name == "encrypt OUTPUT") {
            EXPECT_EQ(received.size() % 16, 0u);
            EXPECT_FALSE(received.empty());
        } else {
            EXPECT_EQ(received.substr(0, option.begins.size()), option.begins)
                << received.substr(0, 200) << "\n"
                << result.output;
        }
    }
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".velquor-"))
            << "a temporary left behind: " << entry.path();
    }
}

}  // namespace
}  // namespace velquor::testing
