// The TFTP packets as bytes: requests read (and refused) as RFC 1350 and 2347 have them, the
// options settled within bounds, and what the server writes.
#include "serve/tftp/tftp_packet.h"

#include <gtest/gtest.h>

#include <string>

namespace velquor::serve::tftp {
namespace {

using namespace std::string_literals;

std::string request(std::uint16_t opcode, const std::string& body) {
    return std::string{static_cast<char>(opcode >> 8), static_cast<char>(opcode & 0xff)} + body;
}

Request parsed(const std::variant<Request, Refusal>& result) {
    if (const Refusal* refusal = std::get_if<Refusal>(&result)) {
        ADD_FAILURE() << "refused: " << refusal->message;
        return {};
    }
    return std::get<Request>(result);
}

TEST(TftpPacketTest, ReadsARequestWithItsModeAndOptionsInAnyCase) {
    const Request read = parsed(
        parseRequest(request(1, "prov/001A2B3C4D5E.xml\0OcTeT\0BLKSIZE\0001428\0tsize\0000\0"s)));
    EXPECT_EQ(read.opcode, Opcode::ReadRequest);
    EXPECT_EQ(read.file, "prov/001A2B3C4D5E.xml");
    EXPECT_EQ(read.mode, Mode::Octet);
    ASSERT_EQ(read.options.size(), 2u);
    EXPECT_EQ(read.options[0].name, "blksize");
    EXPECT_EQ(read.options[0].value, "1428");
    EXPECT_EQ(read.options[1].name, "tsize");

    EXPECT_EQ(parsed(parseRequest(request(1, "a.txt\0NETASCII\0"s))).mode, Mode::Netascii);
    EXPECT_EQ(parsed(parseRequest(request(2, "upload.bin\0octet\0"s))).opcode,
              Opcode::WriteRequest);
}

TEST(TftpPacketTest, RefusesWhatIsNoRequest) {
    const struct {
        std::string packet;
        ErrorCode code;
    } cases[] = {
        {""s, ErrorCode::IllegalOperation},
        {"\0"s, ErrorCode::IllegalOperation},
        {request(1, ""), ErrorCode::IllegalOperation},
        {request(1, "file"), ErrorCode::IllegalOperation},                     // name unterminated
        {request(1, "file\0"s), ErrorCode::IllegalOperation},                  // no mode
        {request(1, "file\0octet"s), ErrorCode::IllegalOperation},             // mode unterminated
        {request(1, "\0octet\0"s), ErrorCode::IllegalOperation},               // no name
        {request(1, "file\0mail\0"s), ErrorCode::IllegalOperation},            // mode not served
        {request(1, "file\0octet\0blksize\0"s), ErrorCode::IllegalOperation},  // no value
        {request(3, "\0\1data"s), ErrorCode::IllegalOperation},  // data, not a request
        {request(4, "\0\1"s), ErrorCode::IllegalOperation},
        {request(5, "\0\1oops\0"s), ErrorCode::IllegalOperation},
        {request(6, "blksize\0512\0"s), ErrorCode::IllegalOperation},
        {request(0x4142, "file\0octet\0"s), ErrorCode::IllegalOperation},
    };
    for (const auto& each : cases) {
        const auto result = parseRequest(each.packet);
        ASSERT_TRUE(std::holds_alternative<Refusal>(result)) << testing::PrintToString(each.packet);
        EXPECT_EQ(std::get<Refusal>(result).code, each.code);
        EXPECT_FALSE(std::get<Refusal>(result).message.empty());
    }
}

Negotiated settled(const std::vector<Option>& options, Mode mode = Mode::Octet,
                   std::uint64_t size = 4096, OptionBounds bounds = {}) {
    auto result = negotiate(options, mode, size, bounds);
    if (const Refusal* refusal = std::get_if<Refusal>(&result)) {
        ADD_FAILURE() << "refused: " << refusal->message;
        return {};
    }
    return std::get<Negotiated>(result);
}

TEST(TftpPacketTest, SettlesOptionsWithinTheServersBoundsAndAnswersOnlyThoseItKnows) {
    const Negotiated none = settled({});
    EXPECT_EQ(none.blockSize, 512u);
    EXPECT_EQ(none.window, 1u);
    EXPECT_TRUE(none.acknowledged.empty());

    const Negotiated asked = settled({{"blksize", "1428"},
                                      {"windowsize", "8"},
                                      {"timeout", "3"},
                                      {"tsize", "0"},
                                      {"multicast", ""}});
    EXPECT_EQ(asked.blockSize, 1428u);
    EXPECT_EQ(asked.window, 8u);
    EXPECT_EQ(asked.timeoutSeconds, 3u);
    const std::vector<std::string> answered{"blksize=1428", "windowsize=8", "timeout=3",
                                            "tsize=4096"};
    std::vector<std::string> got;
    for (const Option& option : asked.acknowledged) got.push_back(option.name + "=" + option.value);
    EXPECT_EQ(got, answered);

    // Past the cap the block and the window are lowered, and the answer says so.
    const Negotiated capped = settled({{"blksize", "65464"}, {"windowsize", "65535"}});
    EXPECT_EQ(capped.blockSize, kUnfragmentedBlockSize);
    EXPECT_EQ(capped.window, kLargestWindow);
    EXPECT_EQ(capped.acknowledged[0].value, "1468");
    EXPECT_EQ(settled({{"blksize", "9000"}}, Mode::Octet, 1, {.blockSizeMax = 8192}).blockSize,
              8192u);
    // A netascii file's size on the wire is not known: tsize goes unanswered.
    EXPECT_TRUE(settled({{"tsize", "0"}}, Mode::Netascii).acknowledged.empty());
}

TEST(TftpPacketTest, RefusesOptionsPastWhatTheirRfcAllows) {
    for (const std::vector<Option>& options : std::vector<std::vector<Option>>{
             {{"blksize", "7"}},
             {{"blksize", "65465"}},
             {{"blksize", "-1"}},
             {{"blksize", "1k"}},
             {{"blksize", ""}},
             {{"blksize", "99999999999999999999"}},
             {{"timeout", "0"}},
             {{"timeout", "256"}},
             {{"windowsize", "0"}},
             {{"windowsize", "65536"}},
             {{"tsize", "x"}},
             {{"blksize", "512"}, {"blksize", "1024"}},
         }) {
        const auto result = negotiate(options, Mode::Octet, 10, {});
        ASSERT_TRUE(std::holds_alternative<Refusal>(result))
            << options.front().name << " " << options.front().value;
        EXPECT_EQ(std::get<Refusal>(result).code, ErrorCode::OptionRefused);
    }
}

TEST(TftpPacketTest, WritesPacketsAndReadsAcknowledgements) {
    EXPECT_EQ(errorPacket(ErrorCode::FileNotFound, "file not found"), "\0\5\0\1file not found\0"s);
    // A NUL would end the text early: the text stops before it.
    EXPECT_EQ(errorPacket(ErrorCode::NotDefined, "a\0b"s), "\0\5\0\0a\0"s);
    EXPECT_EQ(optionAckPacket({{"blksize", "1428"}, {"tsize", "7"}}),
              "\0\6blksize\0001428\0tsize\0007\0"s);

    char header[kDataHeaderBytes];
    writeDataHeader(header, 0x1234);
    EXPECT_EQ(std::string(header, 4), "\0\3\x12\x34"s);
    writeDataHeader(header, 65536 + 5);  // past 65535 the numbers roll over to 0
    EXPECT_EQ(std::string(header, 4), "\0\3\0\5"s);

    EXPECT_EQ(parseAck("\0\4\xff\xfe"s), 0xfffe);
    EXPECT_FALSE(parseAck("\0\4\0"s));
    EXPECT_FALSE(parseAck("\0\3\0\1"s));
    EXPECT_FALSE(parseAck("\0\4\0\1x"s));
    EXPECT_TRUE(isError("\0\5\0\0\0"s));
    EXPECT_FALSE(isError("\0\4\0\0"s));
}

TEST(TftpPacketTest, NetasciiEndsLinesWithCrLfAndKeepsALoneCr) {
    std::string out;
    appendNetascii("a\nb\rc\r\n", out);
    EXPECT_EQ(out, "a\r\nb\r\0c\r\0\r\n"s);
}

}  // namespace
}  // namespace velquor::serve::tftp
