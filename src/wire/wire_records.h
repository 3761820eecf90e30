// The three request records of the Kesto wire protocol, their reply words and ports.
// A record is nothing but fixed-width text fields: the text's bytes, then zero bytes up to
// the field's width; a text exactly as long as its field has no terminating zero. The client
// builds records from texts (refusing a text that does not fit, never cutting it: a cut MAC
// address would register the wrong device), and the server decodes them back into texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"
#include "wire/kesto_address.h"

namespace velquor::wire {

// Widths of the fields, in bytes.
inline constexpr std::size_t kTextFieldWidth = 64;
inline constexpr std::size_t kServerFieldWidth = 128;
inline constexpr std::size_t kDeviceReservedWidth = 192;

// Operation codes written into the first field of account and device requests.
inline constexpr std::string_view kOperationAdd = "ADD";
inline constexpr std::string_view kOperationDelete = "DEL";
inline constexpr std::string_view kOperationUpdate = "UP";

// Reply words. Anything other than "YES" or "EXIST" is a refusal; the server says "NO".
inline constexpr std::string_view kReplyYes = "YES";
inline constexpr std::string_view kReplyExist = "EXIST";
inline constexpr std::string_view kReplyNo = "NO";
// Refusals that say why, each at most 7 bytes so that it ends in a zero in the client's
// buffer. A client that knows only the three words above takes them as any other refusal.
// Not logged in from this address: no grant of the user for the peer (expired, ended by a
// password change, or the server restarted).
inline constexpr std::string_view kReplyNotLoggedIn = "NOLOGIN";
// The server could not do it now (its store unreachable, the deadline passed, too many
// attempts): nothing was changed, and the same request may be sent again later.
inline constexpr std::string_view kReplyTryAgain = "RETRY";
// Not acceptable: a name, MAC address or password the server does not take.
inline constexpr std::string_view kReplyNotAcceptable = "INVALID";
// A login refused unchecked: logins of the name from this address are held back after failed
// logins from elsewhere, until the address has logged in as the user or the administrator
// trusts it. The word is "HELD" and that number of failures, at most 999 ("HELD240").
inline constexpr std::string_view kReplyHeldBack = "HELD";
inline constexpr long long kMostHeldBackFailures = 999;
// The client reads at most this many reply bytes.
inline constexpr std::size_t kReplyBufferSize = 8;

// Default ports, one per kind of request (the address is in wire/kesto_address.h).
inline constexpr std::uint16_t kLoginPort = 44388;
inline constexpr std::uint16_t kAccountPort = 44389;
inline constexpr std::uint16_t kDevicePort = 44391;
// kestod's phones' port (HTTPS, GET /phone/{mac}), served when its folder has phones' CAs.
inline constexpr std::uint16_t kPhonePort = 44390;

// The records, byte for byte as they travel. Plain char arrays: no padding, no byte order.
struct LoginRequest {
    char userName[kTextFieldWidth];
    char password[kTextFieldWidth];
};

struct AccountRequest {
    char operation[kTextFieldWidth];  // "ADD", "DEL" or "UP"
    char userName[kTextFieldWidth];
    char password[kTextFieldWidth];
};

struct DeviceRequest {
    char operation[kTextFieldWidth];   // "ADD", "UP" or "DEL"
    char macAddress[kTextFieldWidth];  // a spreadsheet cell's text, unchanged
    char server[kServerFieldWidth];
    char userName[kTextFieldWidth];  // the logged-in user
    char reserved[kDeviceReservedWidth];
};

inline constexpr std::size_t kLoginRequestSize = 128;
inline constexpr std::size_t kAccountRequestSize = 192;
inline constexpr std::size_t kDeviceRequestSize = 512;

static_assert(sizeof(LoginRequest) == kLoginRequestSize);
static_assert(sizeof(AccountRequest) == kAccountRequestSize);
static_assert(sizeof(DeviceRequest) == kDeviceRequestSize);

// The texts of each record, as the client fills them and the server reads them back.
struct LoginFields {
    std::string userName;
    std::string password;
    bool operator==(const LoginFields&) const = default;
};

struct AccountFields {
    std::string operation;
    std::string userName;
    std::string password;
    bool operator==(const AccountFields&) const = default;
};

struct DeviceFields {
    std::string operation;
    std::string macAddress;
    std::string server;
    std::string userName;
    bool operator==(const DeviceFields&) const = default;
};

// Builders: the record zero-filled, then each text written into its field. A text longer than
// its field gives ErrorCode::InvalidInput naming the field and its width.
support::Result<LoginRequest> buildLoginRequest(const LoginFields& fields);
support::Result<AccountRequest> buildAccountRequest(const AccountFields& fields);
support::Result<DeviceRequest> buildDeviceRequest(const DeviceFields& fields);

// Decoders, for the server: exactly the record's size, each field's text being its bytes up to
// the first zero (or the whole width). Refused as malformed (ErrorCode::InvalidInput): another
// size, a non-zero byte after a field's terminating zero, a non-zero reserved byte. The client
// never sends either, so they can only come from something that is not our client.
support::Result<LoginFields> decodeLoginRequest(std::string_view record);
support::Result<AccountFields> decodeAccountRequest(std::string_view record);
support::Result<DeviceFields> decodeDeviceRequest(std::string_view record);

// A record's bytes, for writing it out or comparing it.
template <typename Record>
std::string_view recordBytes(const Record& record) {
    return std::string_view(reinterpret_cast<const char*>(&record), sizeof(Record));
}

// A field's text: its bytes up to the first zero, or the whole field when it holds none.
std::string_view fieldText(const char* field, std::size_t width);

// Interprets a reply buffer as the client does: the bytes before the first zero (all of them
// when none is zero) must equal the word exactly.
bool replyIs(std::string_view replyBuffer, std::string_view word);

// The held-back reply for a number of failures, and the number a reply buffer holding one says
// (nothing for any other reply).
std::string heldBackReply(long long failures);
std::optional<long long> heldBackFailures(std::string_view replyBuffer);

}  // namespace velquor::wire
