// The request records byte for byte, the refusal of texts that do not fit, and decoding.
#include "wire/wire_records.h"

#include <gtest/gtest.h>

#include <string>

namespace velquor::wire {
namespace {

std::string zeros(std::size_t count) {
    return std::string(count, '\0');
}

std::string padded(const std::string& text, std::size_t width) {
    return text + zeros(width - text.size());
}

TEST(WireRecords, LoginRecordIsNameThenPasswordEachZeroFilled) {
    auto record = buildLoginRequest({"alice", "s3cret"});
    ASSERT_TRUE(record.ok()) << record.error().message;
    EXPECT_EQ(recordBytes(*record), padded("alice", 64) + padded("s3cret", 64));
}

TEST(WireRecords, FullWidthTextHasNoTerminatingZero) {
    const std::string name(64, 'n');
    auto record = buildLoginRequest({name, "p"});
    ASSERT_TRUE(record.ok());
    const std::string_view bytes = recordBytes(*record);
    EXPECT_EQ(bytes.substr(0, 64), name);
    EXPECT_EQ(bytes[64], 'p');  // the next field starts right after, not with a zero
    auto decoded = decodeLoginRequest(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded->userName, name);
    EXPECT_EQ(decoded->password, "p");
}

TEST(WireRecords, AccountRecordLayout) {
    auto record = buildAccountRequest({"UP", "bob", ""});
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(recordBytes(*record), padded("UP", 64) + padded("bob", 64) + zeros(64));
}

TEST(WireRecords, DeviceRecordLayoutWithWideServerFieldAndZeroTail) {
    const std::string server(128, 's');
    auto record = buildDeviceRequest({"ADD", "00:11:22:33:44:55", server, "carol"});
    ASSERT_TRUE(record.ok()) << record.error().message;
    EXPECT_EQ(recordBytes(*record), padded("ADD", 64) + padded("00:11:22:33:44:55", 64) + server +
                                        padded("carol", 64) + zeros(192));
}

TEST(WireRecords, TextsAreCarriedExactlyWithoutTrimmingOrCaseFolding) {
    const std::string mac = " aa-BB-cc \xe9";
    auto record = buildDeviceRequest({"DEL", mac, "", "Dave"});
    ASSERT_TRUE(record.ok());
    auto decoded = decodeDeviceRequest(recordBytes(*record));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, (DeviceFields{"DEL", mac, "", "Dave"}));
}

template <typename Record>
std::string refusalOf(const support::Result<Record>& result) {
    if (result.ok()) return "<accepted>";
    EXPECT_EQ(result.error().code, support::ErrorCode::InvalidInput);
    return result.error().message;
}

TEST(WireRecords, OverlongTextsAreRefusedNamingFieldAndWidth) {
    const std::string text65(65, 'x');
    const struct {
        std::string message;
        std::string field;
        std::string width;
    } cases[] = {
        {refusalOf(buildLoginRequest({text65, ""})), "user name", "64"},
        {refusalOf(buildLoginRequest({"a", text65})), "password", "64"},
        {refusalOf(buildAccountRequest({"ADD", "a", text65})), "password", "64"},
        {refusalOf(buildAccountRequest({text65, "a", ""})), "operation", "64"},
        {refusalOf(buildDeviceRequest({"ADD", text65, "", "u"})), "MAC address", "64"},
        {refusalOf(buildDeviceRequest({"ADD", "m", std::string(129, 's'), "u"})), "server", "128"},
        {refusalOf(buildDeviceRequest({"ADD", "m", "", text65})), "user name", "64"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(c.message.find(c.field), std::string::npos) << c.message;
        EXPECT_NE(c.message.find("at most " + c.width + " bytes"), std::string::npos) << c.message;
    }
}

TEST(WireRecords, TextWithZeroByteIsRefused) {
    auto record = buildDeviceRequest({"ADD", std::string("00:11\0:22", 9), "", "u"});
    ASSERT_FALSE(record.ok());
    EXPECT_NE(record.error().message.find("zero byte"), std::string::npos);
}

TEST(WireRecords, DecodersRefuseWrongSizes) {
    auto login = buildLoginRequest({"a", "b"});
    ASSERT_TRUE(login.ok());
    const std::string bytes(recordBytes(*login));
    EXPECT_FALSE(decodeLoginRequest(bytes.substr(0, 127)).ok());
    EXPECT_FALSE(decodeLoginRequest(bytes + '\0').ok());
    EXPECT_FALSE(decodeAccountRequest(bytes).ok());
    EXPECT_FALSE(decodeDeviceRequest(std::string(511, '\0')).ok());
    EXPECT_TRUE(decodeDeviceRequest(std::string(512, '\0')).ok());
}

TEST(WireRecords, DecodersRefuseBytesHiddenAfterAFieldOrInTheReservedTail) {
    std::string login = padded("a", 64) + padded("b", 64);
    login[10] = 'X';  // after the name's terminating zero
    auto decodedLogin = decodeLoginRequest(login);
    ASSERT_FALSE(decodedLogin.ok());
    EXPECT_NE(decodedLogin.error().message.find("user name"), std::string::npos);

    auto device = buildDeviceRequest({"ADD", "m", "srv", "u"});
    ASSERT_TRUE(device.ok());
    std::string bytes(recordBytes(*device));
    bytes[511] = 1;
    EXPECT_FALSE(decodeDeviceRequest(bytes).ok());
}

TEST(WireRecords, AccountRoundTrip) {
    const AccountFields fields{"DEL", "erin", std::string(64, 'p')};
    auto record = buildAccountRequest(fields);
    ASSERT_TRUE(record.ok());
    auto decoded = decodeAccountRequest(recordBytes(*record));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, fields);
}

TEST(WireRecords, ReplyComparisonStopsAtFirstZeroOrBufferEnd) {
    EXPECT_TRUE(replyIs(std::string("YES\0\0\0\0\0", 8), "YES"));
    EXPECT_FALSE(replyIs(std::string("YES\n\0\0\0\0", 8), "YES"));
    EXPECT_FALSE(replyIs(std::string("yes\0\0\0\0\0", 8), "YES"));
    EXPECT_FALSE(replyIs("YESYESYE", "YES"));
    EXPECT_TRUE(replyIs(std::string("EXIST\0X\0", 8), "EXIST"));
}

}  // namespace
}  // namespace velquor::wire
