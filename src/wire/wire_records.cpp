// Building and decoding the fixed-width request records of the Kesto wire protocol.
#include "wire/wire_records.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <initializer_list>

#include "wire/fixed_fields.h"

namespace velquor::wire {

using support::ErrorCode;
using support::makeError;
using support::Result;
using support::Status;

namespace {

template <typename Record>
Record zeroedRecord() {
    Record record;
    std::memset(&record, 0, sizeof record);
    return record;
}

// One text to place into a record: where, how wide, what, and its name for errors.
struct FieldWrite {
    char* field;
    std::size_t width;
    std::string_view text;
    std::string_view name;
};

// Writes the fields in order; the first one refused refuses the whole record.
template <typename Record>
Result<Record> writeFields(const Record& record, std::initializer_list<FieldWrite> writes) {
    for (const auto& write : writes) {
        if (auto s = writeField(write.field, write.width, write.text, write.name); !s) {
            return s.error();
        }
    }
    return record;
}

Status checkSize(std::string_view record, std::size_t expected, std::string_view kind) {
    if (record.size() != expected) {
        return makeError(ErrorCode::InvalidInput, std::string(kind) + " is " +
                                                      std::to_string(record.size()) +
                                                      " bytes long; it must be exactly " +
                                                      std::to_string(expected) + " bytes");
    }
    return {};
}

// The fields' names as a too-long or broken text's error gives them.
constexpr const char* kUserNameField = VELQUOR_TR_NOOP("core", "the user name");
constexpr const char* kPasswordField = VELQUOR_TR_NOOP("core", "the password");
constexpr const char* kOperationField = VELQUOR_TR_NOOP("core", "the operation");

}  // namespace

std::string_view fieldText(const char* field, std::size_t width) {
    const void* zero = std::memchr(field, '\0', width);
    const std::size_t length =
        zero == nullptr ? width : static_cast<std::size_t>(static_cast<const char*>(zero) - field);
    return std::string_view(field, length);
}

bool replyIs(std::string_view replyBuffer, std::string_view word) {
    return fieldText(replyBuffer.data(), replyBuffer.size()) == word;
}

std::string heldBackReply(long long failures) {
    return std::string(kReplyHeldBack) +
           std::to_string(std::clamp(failures, 0LL, kMostHeldBackFailures));
}

std::optional<long long> heldBackFailures(std::string_view replyBuffer) {
    const std::string_view reply = fieldText(replyBuffer.data(), replyBuffer.size());
    if (!reply.starts_with(kReplyHeldBack)) return std::nullopt;
    const std::string_view digits = reply.substr(kReplyHeldBack.size());
    long long failures = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), failures);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return failures;
}

Result<LoginRequest> buildLoginRequest(const LoginFields& fields) {
    auto record = zeroedRecord<LoginRequest>();
    return writeFields(record,
                       {{record.userName, kTextFieldWidth, fields.userName, kUserNameField},
                        {record.password, kTextFieldWidth, fields.password, kPasswordField}});
}

Result<AccountRequest> buildAccountRequest(const AccountFields& fields) {
    auto record = zeroedRecord<AccountRequest>();
    return writeFields(record,
                       {{record.operation, kTextFieldWidth, fields.operation, kOperationField},
                        {record.userName, kTextFieldWidth, fields.userName, kUserNameField},
                        {record.password, kTextFieldWidth, fields.password, kPasswordField}});
}

Result<DeviceRequest> buildDeviceRequest(const DeviceFields& fields) {
    auto record = zeroedRecord<DeviceRequest>();
    return writeFields(record,
                       {{record.operation, kTextFieldWidth, fields.operation, kOperationField},
                        {record.macAddress, kTextFieldWidth, fields.macAddress,
                         VELQUOR_TR_NOOP("core", "the MAC address")},
                        {record.server, kServerFieldWidth, fields.server,
                         VELQUOR_TR_NOOP("core", "the server text")},
                        {record.userName, kTextFieldWidth, fields.userName, kUserNameField}});
}

Result<LoginFields> decodeLoginRequest(std::string_view record) {
    if (auto s = checkSize(record, kLoginRequestSize, "a login request"); !s) return s.error();
    auto userName =
        readField(record, offsetof(LoginRequest, userName), kTextFieldWidth, "user name");
    if (!userName) return userName.error();
    auto password =
        readField(record, offsetof(LoginRequest, password), kTextFieldWidth, "password");
    if (!password) return password.error();
    return LoginFields{std::move(*userName), std::move(*password)};
}

Result<AccountFields> decodeAccountRequest(std::string_view record) {
    if (auto s = checkSize(record, kAccountRequestSize, "an account request"); !s) {
        return s.error();
    }
    auto operation =
        readField(record, offsetof(AccountRequest, operation), kTextFieldWidth, "operation");
    if (!operation) return operation.error();
    auto userName =
        readField(record, offsetof(AccountRequest, userName), kTextFieldWidth, "user name");
    if (!userName) return userName.error();
    auto password =
        readField(record, offsetof(AccountRequest, password), kTextFieldWidth, "password");
    if (!password) return password.error();
    return AccountFields{std::move(*operation), std::move(*userName), std::move(*password)};
}

Result<DeviceFields> decodeDeviceRequest(std::string_view record) {
    if (auto s = checkSize(record, kDeviceRequestSize, "a device request"); !s) return s.error();
    auto operation =
        readField(record, offsetof(DeviceRequest, operation), kTextFieldWidth, "operation");
    if (!operation) return operation.error();
    auto macAddress =
        readField(record, offsetof(DeviceRequest, macAddress), kTextFieldWidth, "MAC address");
    if (!macAddress) return macAddress.error();
    auto server = readField(record, offsetof(DeviceRequest, server), kServerFieldWidth, "server");
    if (!server) return server.error();
    auto userName =
        readField(record, offsetof(DeviceRequest, userName), kTextFieldWidth, "user name");
    if (!userName) return userName.error();
    const std::string_view reserved =
        record.substr(offsetof(DeviceRequest, reserved), kDeviceReservedWidth);
    if (std::any_of(reserved.begin(), reserved.end(), [](char c) { return c != '\0'; })) {
        return makeError(ErrorCode::InvalidInput,
                         "a device request has non-zero bytes in its reserved bytes 320 to 511");
    }
    return DeviceFields{std::move(*operation), std::move(*macAddress), std::move(*server),
                        std::move(*userName)};
}

}  // namespace velquor::wire
