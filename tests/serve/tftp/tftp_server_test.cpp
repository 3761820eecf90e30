// The phone server's TFTP side on loopback answering real clients (curl, tftp-hpa's tftp,
// atftp), through a relay that loses and repeats packets, and a raw probe sending what no
// client should: each refusal is one error packet and nothing else.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "serve/log/fetch_log_reader.h"
#include "serve/server/phone_server.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "tftp_test_support.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;
using namespace std::string_literals;

constexpr auto kLimit = std::chrono::seconds(30);

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
    return bytes;
}

class TftpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeSiteFolder(m_dir / "site");
        std::filesystem::create_directory(m_dir / "site" / "sub");
        writeFile(m_dir / "site" / "sub" / "inner.cfg", "inner");
        writeFile(m_dir / "site" / ".hidden", "dot file");
        std::filesystem::create_symlink("/etc/passwd", m_dir / "site" / "passwd");
        writeFile(m_dir / "site" / "firmware.bin", randomBytes(64 * 1024, 1));
        writeFile(m_dir / "site" / "lines.txt", "first\nsecond\rthird\r\n");
    }

    std::unique_ptr<PhoneServer> start(tftp::TftpOptions tftp = {}, ServeOptions options = {},
                                       bool patient = true) {
        const std::string address = options.address;  // loopback unless given
        serveOnLoopback(options, m_dir.path());
        if (!address.empty()) options.address = address;
        options.logFile = m_dir / "fetch.csv";
        options.plainFiles = true;
        tftp.port = 0;
        // Quick to send again; backing off to longer than atftp's second between tries (it
        // acknowledges again only after a second without packets); patient, before giving up,
        // for longer than curl's five seconds between tries.
        tftp.timing = {.firstTimeout = std::chrono::milliseconds(100),
                       .shortestTimeout = std::chrono::milliseconds(50),
                       .longestTimeout = std::chrono::milliseconds(4000),
                       .patience = std::chrono::seconds(15)};
        if (!patient)
            tftp.timing = {.firstTimeout = std::chrono::milliseconds(50),
                           .shortestTimeout = std::chrono::milliseconds(50),
                           .longestTimeout = std::chrono::milliseconds(100),
                           .patience = std::chrono::milliseconds(250)};
        options.tftp = tftp;
        auto server = PhoneServer::start(std::move(options));
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    // The file a client wrote, "" when it wrote none.
    std::string fetched(const std::string& command, const std::string& output) {
        int status = -1;
        runCommand(command + " >/dev/null 2>&1", &status);
        return std::filesystem::exists(m_dir / output) ? readFile(m_dir / output) : "";
    }
    std::string curl(std::uint16_t port, const std::string& name, const std::string& output,
                     const std::string& options = "") {
        // curl waits between tries, and asks the server to wait (the timeout option), a fifth
        // of its time to connect, at least a second: a short one keeps both to a second.
        return fetched("curl -s --connect-timeout 3 --max-time 60 " + options + " -o " +
                           shellQuote((m_dir / output).string()) + " " +
                           shellQuote("tftp://127.0.0.1:" + std::to_string(port) + "/" + name),
                       output);
    }
    // tftp-hpa's client, its commands on standard input (the retransmission time among them).
    std::string tftpHpa(std::uint16_t port, const std::string& name, const std::string& output,
                        const std::string& mode = "binary") {
        return fetched("printf '%s\\n' " + mode + " 'rexmt 1' " +
                           shellQuote("get " + name + " " + (m_dir / output).string()) +
                           " quit | tftp 127.0.0.1 " + std::to_string(port),
                       output);
    }
    std::string atftp(std::uint16_t port, const std::string& name, const std::string& output,
                      const std::string& options = "") {
        return fetched("atftp --tftp-timeout 1 " + options + " --get -r " + shellQuote(name) +
                           " -l " + shellQuote((m_dir / output).string()) + " 127.0.0.1 " +
                           std::to_string(port),
                       output);
    }

    // The log's records once there are count of them (the log is flushed every 250 ms).
    std::vector<FetchRecord> recordsOnceThere(std::size_t count) {
        std::vector<FetchRecord> records;
        waitUntil(
            [&] {
                auto read = readFetchLog(m_dir / "fetch.csv");
                if (read) records = std::move(*read);
                return records.size() >= count;
            },
            kLimit);
        return records;
    }

    TempDir m_dir;
};

TEST_F(TftpServerTest, RealClientsFetchTheFolderAndEachFetchIsOneRecordTheStatusCounts) {
    ServeOptions options;
    options.site = {"001a2b3c4d5e", "0015650a33fb"};
    auto server = start({}, options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->tftpPort();
    ASSERT_NE(port, 0);
    const std::string phone1 = "<config phone=\"1\"/>\n";
    const std::string firmware = readFile(m_dir / "site" / "firmware.bin");

    EXPECT_EQ(curl(port, "001a2b3c4d5e.xml", "c1"), phone1);
    EXPECT_EQ(curl(port, "prov/001A2B3C4D5E.XML", "c2", "--tftp-blksize 1428"), phone1);
    EXPECT_TRUE(curl(port, "firmware.bin", "c3", "--tftp-blksize 1428") == firmware);
    EXPECT_EQ(tftpHpa(port, "/p/00-15-65-0A-33-FB.xml", "h1"), "<config phone=\"2\"/>\n");
    EXPECT_TRUE(tftpHpa(port, "firmware.bin", "h2") == firmware);
    // Netascii both ways: the client turns the CR LF and CR NUL back into the text.
    EXPECT_EQ(tftpHpa(port, "lines.txt", "h3", "ascii"), "first\nsecond\rthird\r\n");
    EXPECT_EQ(atftp(port, "common.cfg", "a1"), "shared settings\n");
    EXPECT_TRUE(atftp(port, "firmware.bin", "a2",
                      "--option 'blksize 1000' --option 'windowsize 8' --option 'tsize 0'") ==
                firmware);

    const std::vector<FetchRecord> records = recordsOnceThere(8);
    ASSERT_EQ(records.size(), 8u);
    for (const FetchRecord& record : records) {
        EXPECT_EQ(record.method, "TFTP");
        EXPECT_EQ(record.status, 200) << record.path;
        EXPECT_TRUE(record.completed) << record.path;
        EXPECT_EQ(record.peer, "127.0.0.1");
    }
    EXPECT_EQ(records[1].path, "prov/001A2B3C4D5E.XML");
    EXPECT_EQ(records[1].mac, "001a2b3c4d5e");
    EXPECT_EQ(records[1].file, "001A2B3C4D5E.xml");
    EXPECT_EQ(records[1].bytes, phone1.size());
    EXPECT_EQ(records[2].bytes, firmware.size());
    EXPECT_EQ(records[3].mac, "0015650a33fb");

    const ServeSnapshot snapshot = server->snapshot();
    EXPECT_EQ(snapshot.counts.fetched, 2u);
    for (const PhoneStatus& phone : snapshot.phones) EXPECT_EQ(phone.state, PhoneState::Fetched);
}

TEST_F(TftpServerTest, RefusalsAreOneErrorPacketAndNothingElseAndAnErrorDrawsNothing) {
    auto server = start();
    ASSERT_TRUE(server);
    const std::uint16_t port = server->tftpPort();
    struct Case {
        std::string packet;
        int errorCode;  // -1: no answer
    };
    const Case cases[] = {
        {"\0\1"s, 4},                                      // truncated
        {"\0\1abc"s, 4},                                   // name unterminated
        {"\0\3\0\1data"s, 4},                              // data to the listening port
        {ackPacket(1), 4},                                 // an ack to no transfer
        {"\0\5\0\0oops\0"s, -1},                           // an error to no transfer
        {"\x12\x34whatever\0"s, 4},                        // no such opcode
        {readRequest("common.cfg", {}, "mail"), 4},        // a mode not served
        {readRequest("common.cfg", {"blksize", "7"}), 8},  // options past their bounds
        {readRequest("common.cfg", {"blksize", "65465"}), 8},
        {readRequest("common.cfg", {"windowsize", "0"}), 8},
        {readRequest("common.cfg", {"timeout", "300"}), 8},
        {readRequest("common.cfg", {"tsize", "-5"}), 8},
        {readRequest("sub"), 1},  // a folder
        {readRequest("sub/"), 1},
        {readRequest("../../etc/passwd"), 1},  // outside the folder
        {readRequest("passwd"), 1},            // a link out of it
        {readRequest(".hidden"), 1},           // a dot file
        {"\0\2upload.cfg\0octet\0"s, 2},       // a write request
        {std::string(3000, 'x'), 4},           // far too long
    };
    int address = 0;
    for (const Case& each : cases) {
        // Each from an address of its own, which the guessing guard would hold back otherwise.
        UdpProbe probe("127.0.3." + std::to_string(++address));
        probe.send(port, each.packet);
        if (each.errorCode >= 0) {
            const auto answer = probe.receive();
            ASSERT_TRUE(answer) << ::testing::PrintToString(each.packet);
            EXPECT_EQ(errorCodeOf(answer->packet), each.errorCode)
                << ::testing::PrintToString(each.packet) << " "
                << ::testing::PrintToString(answer->packet);
            EXPECT_EQ(answer->fromPort, port);
        }
        // Nothing else came before the answer to a request that draws data: that data.
        probe.send(port, readRequest("common.cfg"));
        const auto next = probe.receive();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->packet, "\0\3\0\1shared settings\n"s)
            << ::testing::PrintToString(each.packet);
        probe.send(next->fromPort, ackPacket(1));
    }
    // A client that answers a transfer with anything but an acknowledgement gets an error too.
    UdpProbe probe("127.0.4.1");
    probe.send(port, readRequest("firmware.bin"));
    const auto first = probe.receive();
    ASSERT_TRUE(first);
    probe.send(first->fromPort, "\0\1again\0octet\0"s);
    const auto refused = probe.receive();
    ASSERT_TRUE(refused);
    EXPECT_EQ(errorCodeOf(refused->packet), 4);
    EXPECT_EQ(refused->fromPort, first->fromPort);

    const std::vector<FetchRecord> records = recordsOnceThere(1);
    bool writeLogged = false;
    for (const FetchRecord& record : records) {
        EXPECT_EQ(record.method, record.isSummary() ? "*" : "TFTP");
        if (record.path == "upload.cfg") writeLogged = record.status == 405;
    }
    EXPECT_TRUE(writeLogged);
}

TEST_F(TftpServerTest, AForgedRequestDrawsOneAnswerAndNothingMore) {
    auto server = start({}, {}, false);
    ASSERT_TRUE(server);
    UdpProbe probe;
    // With options the answer is the option acknowledgement: no data before an acknowledgement.
    probe.send(server->tftpPort(),
               readRequest("firmware.bin", {"blksize", "1468", "windowsize", "64"}));
    const auto answer = probe.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(opcodeOf(answer->packet), 6);
    // The transfer gives up (its record comes) without having sent anything again.
    const std::vector<FetchRecord> records = recordsOnceThere(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].completed);
    EXPECT_EQ(records[0].bytes, 0u);
    EXPECT_FALSE(probe.pending());
}

TEST_F(TftpServerTest, AClientThatStartsAgainFromItsPortGetsANewTransfer) {
    auto server = start();
    ASSERT_TRUE(server);
    UdpProbe phone;
    phone.send(server->tftpPort(), readRequest("firmware.bin"));
    const auto first = phone.receive();
    ASSERT_TRUE(first);
    phone.send(first->fromPort, ackPacket(1));
    // Block 2 comes, then again when its time-out passed: the phone has gone quiet.
    ASSERT_TRUE(phone.receive());
    const auto again = phone.receive();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->packet.substr(0, 4), "\0\3\0\2"s);
    // It starts again from the same port: a transfer of its own, not a copy of the first.
    phone.send(server->tftpPort(), readRequest("common.cfg"));
    std::optional<Received> fresh;
    while ((fresh = phone.receive()) && fresh->fromPort == first->fromPort) {
    }
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->packet, "\0\3\0\1"s + readFile(m_dir / "site" / "common.cfg"));
    phone.send(fresh->fromPort, ackPacket(1));
    const std::vector<FetchRecord> records = recordsOnceThere(2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].file, "firmware.bin");
    EXPECT_FALSE(records[0].completed);
    EXPECT_EQ(records[1].file, "common.cfg");
    EXPECT_TRUE(records[1].completed);

    // A request for another file is a new one at once (a new client took the port): no copy.
    phone.send(server->tftpPort(), readRequest("firmware.bin"));
    const auto firmware = phone.receive();
    ASSERT_TRUE(firmware);
    phone.send(server->tftpPort(), readRequest("lines.txt"));
    std::optional<Received> lines;
    while ((lines = phone.receive()) && lines->fromPort == firmware->fromPort) {
    }
    ASSERT_TRUE(lines);
    EXPECT_EQ(lines->packet, "\0\3\0\1first\nsecond\rthird\r\n"s);
}

TEST_F(TftpServerTest, TransfersAreBoundedPerAddressAndInTotalAndGuessersAreHeldBack) {
    tftp::TftpOptions fewTransfers;
    fewTransfers.maxTransfers = 4;
    auto server = start(fewTransfers);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->tftpPort();
    std::vector<std::unique_ptr<UdpProbe>> probes;
    for (int i = 1; i <= 4; ++i) {
        probes.push_back(std::make_unique<UdpProbe>("127.0.5." + std::to_string(i)));
        probes.back()->send(port, readRequest("firmware.bin"));
        ASSERT_TRUE(probes.back()->receive());  // its first block, unacknowledged
    }
    UdpProbe fifth("127.0.5.9");
    fifth.send(port, readRequest("common.cfg"));
    const auto busy = fifth.receive();
    ASSERT_TRUE(busy);
    EXPECT_EQ(errorCodeOf(busy->packet), 0);
    probes.clear();
    server.reset();

    // The per-address cap is the HTTP side's: one address holds at most that many.
    auto capped = start();
    std::vector<std::unique_ptr<UdpProbe>> same;
    for (unsigned i = 0; i < kConnectionsPerAddress; ++i) {
        same.push_back(std::make_unique<UdpProbe>("127.0.6.1"));
        same.back()->send(capped->tftpPort(), readRequest("firmware.bin"));
        ASSERT_TRUE(same.back()->receive()) << i;
    }
    UdpProbe over("127.0.6.1");
    over.send(capped->tftpPort(), readRequest("common.cfg"));
    const auto refused = over.receive();
    ASSERT_TRUE(refused);
    EXPECT_EQ(errorCodeOf(refused->packet), 0);
    UdpProbe other("127.0.6.2");
    other.send(capped->tftpPort(), readRequest("common.cfg"));
    const auto served = other.receive();
    ASSERT_TRUE(served);
    EXPECT_EQ(opcodeOf(served->packet), 3);
    other.send(served->fromPort, ackPacket(1));

    // An address asking for names that are not there is held back, as over HTTP.
    UdpProbe guesser("127.0.7.1");
    int lastCode = -1;
    for (int miss = 0; miss < 30 && lastCode != 2; ++miss) {
        guesser.send(capped->tftpPort(),
                     readRequest("00112233" + std::to_string(4400 + miss) + ".xml"));
        const auto answer = guesser.receive();
        ASSERT_TRUE(answer);
        lastCode = errorCodeOf(answer->packet);
    }
    EXPECT_EQ(lastCode, 2);
    guesser.send(capped->tftpPort(), readRequest("common.cfg"));
    const auto held = guesser.receive();
    ASSERT_TRUE(held);
    EXPECT_EQ(errorCodeOf(held->packet), 2);
}

TEST_F(TftpServerTest, TransfersGoFromTheRangeGivenOrFromTheListeningPort) {
    tftp::TftpOptions range;
    range.transferPortFirst = 41000;
    range.transferPortLast = 41003;
    auto ranged = start(range);
    ASSERT_TRUE(ranged);
    for (int i = 0; i < 4; ++i) {
        UdpProbe probe;
        probe.send(ranged->tftpPort(), readRequest("common.cfg"));
        const auto data = probe.receive();
        ASSERT_TRUE(data);
        EXPECT_GE(data->fromPort, 41000);
        EXPECT_LE(data->fromPort, 41003);
        probe.send(data->fromPort, ackPacket(1));
    }
    ranged.reset();

    tftp::TftpOptions singlePort;
    singlePort.singlePort = true;
    auto single = start(singlePort);
    ASSERT_TRUE(single);
    UdpProbe probe;
    probe.send(single->tftpPort(), readRequest("firmware.bin", {"blksize", "1024"}));
    const auto optionAck = probe.receive();
    ASSERT_TRUE(optionAck);
    EXPECT_EQ(optionAck->fromPort, single->tftpPort());
    probe.send(single->tftpPort(), ackPacket(0));
    const auto data = probe.receive();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->fromPort, single->tftpPort());
    EXPECT_EQ(data->packet.size(), 4u + 1024u);
    EXPECT_EQ(data->packet.substr(0, 4), "\0\3\0\1"s);
}

TEST_F(TftpServerTest, AnswersLeaveFromTheAddressTheRequestCameTo) {
    // Served on every address, asked at 127.0.0.2 by a phone at 127.0.0.1: the route back
    // would leave from 127.0.0.1, and the phone takes only what comes from where it asked.
    for (const bool singlePort : {false, true}) {
        tftp::TftpOptions mode;
        mode.singlePort = singlePort;
        ServeOptions options;
        options.address = "0.0.0.0";
        options.noAuth = true;
        auto server = start(mode, options);
        ASSERT_TRUE(server);
        UdpProbe phone;
        phone.send(server->tftpPort(), readRequest("common.cfg"), "127.0.0.2");
        const auto data = phone.receive();
        ASSERT_TRUE(data);
        EXPECT_EQ(data->packet, "\0\3\0\1shared settings\n"s);
        EXPECT_EQ(data->fromAddress, "127.0.0.2") << singlePort;
        phone.send(data->fromPort, ackPacket(1), "127.0.0.2");
        phone.send(server->tftpPort(), readRequest("nothing.cfg"), "127.0.0.2");
        const auto refused = phone.receive();
        ASSERT_TRUE(refused);
        EXPECT_EQ(errorCodeOf(refused->packet), 1);
        EXPECT_EQ(refused->fromAddress, "127.0.0.2") << singlePort;
    }
}

TEST_F(TftpServerTest, EveryTransferCompletesThroughALossyPath) {
    const std::string firmware = readFile(m_dir / "site" / "firmware.bin");
    for (const bool singlePort : {false, true}) {
        tftp::TftpOptions mode;
        mode.singlePort = singlePort;
        auto server = start(mode);
        ASSERT_TRUE(server);
        LossyRelay relay(server->tftpPort(), 10, 10);
        const std::uint16_t port = relay.port();
        {
            const std::string tag = std::to_string(singlePort);
            EXPECT_EQ(curl(port, "001a2b3c4d5e.xml", "c" + tag), "<config phone=\"1\"/>\n");
            EXPECT_TRUE(curl(port, "firmware.bin", "cf" + tag, "--tftp-blksize 1468") == firmware);
            EXPECT_TRUE(tftpHpa(port, "firmware.bin", "hf" + tag) == firmware);
            EXPECT_TRUE(atftp(port, "firmware.bin", "af" + tag,
                              "--option 'blksize 1468' --option 'windowsize 4'") == firmware);
        }
        EXPECT_GT(relay.dropped(), 0u);
        EXPECT_GT(relay.duplicated(), 0u);
    }
}

TEST_F(TftpServerTest, AFilePastThirtyTwoMegabytesArrivesWholeAsBlockNumbersRollOver) {
    writeFile(m_dir / "site" / "big.bin", randomBytes(40 * 1000 * 1000, 2));
    auto server = start();
    ASSERT_TRUE(server);
    // 512-byte blocks: 78,125 of them, past block 65535.
    EXPECT_TRUE(curl(server->tftpPort(), "big.bin", "big", "--tftp-blksize 512") ==
                readFile(m_dir / "site" / "big.bin"));
    const std::vector<FetchRecord> records = recordsOnceThere(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].completed);
    EXPECT_EQ(records[0].bytes, 40u * 1000 * 1000);
}

}  // namespace
}  // namespace velquor::serve
