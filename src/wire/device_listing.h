// Reading registrations back: the "LIST" device request and its reply.
//
// The request is an ordinary 512-byte device record whose operation is "LIST": the MAC field
// empty (every device of the user) or one MAC address (just that one), the user name at byte
// 256 as in every device request, and the row to start at as decimal text at the start of the
// otherwise zero bytes 320 to 511. Rows are counted from 0 in the order of the devices'
// canonical MAC addresses, so a client that knows the total can ask for several pages at once.
//
// The reply is fixed-width text fields like every record: a 64-byte header
//
//   bytes  0-7   "ROWS"
//   bytes  8-19  how many devices the request matches, decimal
//   bytes 20-31  the row this page starts at, decimal
//   bytes 32-39  how many rows follow, decimal, at most 1,000
//   bytes 40-47  "MORE" when rows after this page remain, "END" otherwise
//   bytes 48-63  zero
//
// then that many 192-byte rows
//
//   bytes   0-15   the canonical MAC address (12 lower-case hexadecimal digits)
//   bytes  16-23   "MINE" (registered to the user) or "OTHER" (to another account)
//   bytes  24-47   when it was registered, UTC, as 2026-12-09T01:23:45Z (empty for "OTHER")
//   bytes  48-175  the server text it was registered with (empty for "OTHER")
//   bytes 176-191  zero
//
// A client that can read what each phone was last told on kestod's phones' port follows the
// start row with " ASKED" ("0 ASKED"); the reply then has "ASKED" in header bytes 48-55 and
// 320-byte rows: the 192 bytes above, then
//
//   bytes 192-215  when a phone last asked about the MAC, UTC as above (empty: never)
//   bytes 216-279  the address it asked from
//   bytes 280-295  what it was told: "redirected" or "not found"
//   bytes 296-319  zero
//
// A server that does not know the mark refuses the request as malformed ("NO"); the client
// then asks again without it. A client that does not send it gets the rows above, as ever.
//
// The administrator may put an account's name in the server field to list that account's
// devices instead of its own. An "OTHER" row only answers a request for one MAC address: it
// says the address is taken without naming the account. A refusal is a short reply word
// instead of the header, as for every request; a server that does not know "LIST" answers "NO"
// or closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"
#include "wire/wire_records.h"

namespace velquor::wire {

inline constexpr std::string_view kOperationList = "LIST";
// The administrator's: frees every device of the account named in the server field.
inline constexpr std::string_view kOperationFree = "FREE";
inline constexpr std::string_view kReplyRows = "ROWS";
inline constexpr std::string_view kListingMore = "MORE";
inline constexpr std::string_view kListingEnd = "END";
inline constexpr std::string_view kRowMine = "MINE";
inline constexpr std::string_view kRowOther = "OTHER";
inline constexpr std::string_view kListingAsked = "ASKED";

// The most rows one reply carries.
inline constexpr std::size_t kListingPageRows = 1000;

struct ListingHeader {
    char word[8];
    char total[12];
    char start[12];
    char count[8];
    char more[8];
    char reserved[16];
};

struct ListingRow {
    char mac[16];
    char state[8];
    char registered[24];
    char server[kServerFieldWidth];
    char reserved[16];
};

struct ListingAsked {
    char at[24];
    char from[64];
    char answer[16];
    char reserved[24];
};

inline constexpr std::size_t kListingHeaderSize = 64;
inline constexpr std::size_t kListingRowSize = 192;
inline constexpr std::size_t kListingAskedRowSize = 320;
inline constexpr std::size_t kListingReplyMaxSize =
    kListingHeaderSize + kListingPageRows * kListingAskedRowSize;

static_assert(sizeof(ListingHeader) == kListingHeaderSize);
static_assert(sizeof(ListingRow) == kListingRowSize);
static_assert(sizeof(ListingRow) + sizeof(ListingAsked) == kListingAskedRowSize);

// The size of a reply's rows: with what each phone was told, or without.
constexpr std::size_t listingRowSize(bool withAsked) {
    return withAsked ? kListingAskedRowSize : kListingRowSize;
}

// What a "LIST" request asks for.
struct ListingQuery {
    std::string userName;
    std::string macAddress;  // empty: every device of the user
    std::uint64_t start = 0;
    std::string account;     // the administrator's only: whose devices; empty: the user's own
    bool withAsked = false;  // the rows carry what each phone was last told
    bool operator==(const ListingQuery&) const = default;
};

enum class ListedState { Mine, Other };

struct ListedDevice {
    std::string mac;
    ListedState state = ListedState::Mine;
    std::string registered;
    std::string server;
    // The last time a phone asked kestod's phones' port about it (empty: never, or a reply
    // without it), from where and what it was told.
    std::string askedAt{};
    std::string askedFrom{};
    std::string askedAnswer{};
    bool operator==(const ListedDevice&) const = default;
};

// One reply: where it starts, how many devices match in all, and its rows.
struct ListingPage {
    std::uint64_t total = 0;
    std::uint64_t start = 0;
    bool more = false;
    std::vector<ListedDevice> rows;
    bool withAsked = false;
    bool operator==(const ListingPage&) const = default;
};

// The header's numbers, read before the rows they announce.
struct ListingPageShape {
    std::uint64_t total = 0;
    std::uint64_t start = 0;
    std::size_t count = 0;
    bool more = false;
    bool withAsked = false;  // rows of listingRowSize(true)
};

// The client's request; a text that does not fit its field is refused as in every record.
support::Result<DeviceRequest> buildListingRequest(const ListingQuery& query);

// True when a device record's operation field reads "LIST".
bool isListingRequest(std::string_view record);

// For the server: a 512-byte record with the operation "LIST", a decimal start at byte 320 and
// zero bytes after it. Malformed like any record otherwise (ErrorCode::InvalidInput).
support::Result<ListingQuery> decodeListingRequest(std::string_view record);

// For the server: the reply's bytes. A page of more than kListingPageRows rows, or a text that
// does not fit its field, is refused (ErrorCode::InvalidInput): it would break the layout.
support::Result<std::string> encodeListingPage(const ListingPage& page);

// For the client: the 64-byte header, with every field checked (the word, decimal numbers,
// a count within the limit and within the total, "MORE" exactly when rows remain).
support::Result<ListingPageShape> decodeListingHeader(std::string_view header);

// For the client: one row of listingRowSize(withAsked) bytes, with its fields' shapes checked.
// Whether its MAC text is a MAC address is for the caller to decide.
support::Result<ListedDevice> decodeListingRow(std::string_view row, bool withAsked = false);

}  // namespace velquor::wire
