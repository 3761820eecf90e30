// The "LIST" device request and its reply, field by field.
#include "wire/device_listing.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "wire/fixed_fields.h"

namespace velquor::wire {

using support::ErrorCode;
using support::makeError;
using support::Result;
using support::Status;

namespace {

// Decimal numbers travel as text without sign or leading spaces; at most 12 digits in the
// header, 20 in the request (any 64-bit row number).
Result<std::uint64_t> parseDecimal(std::string_view text, std::string_view name) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        //: %1 names the field ("the total"), %2 is its text
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core", "%1 is '%2', not a number"),
                                         {std::string(name), std::string(text)},
                                         support::markedArgument(1)});
    }
    return value;
}

template <typename Record>
Record zeroed() {
    Record record;
    std::memset(&record, 0, sizeof record);
    return record;
}

// "2026-12-09T01:23:45Z": digits where digits belong, the separators in their places.
bool isUtcTime(std::string_view text) {
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    return true;
}

// One text to place into a zero-filled field, with its name for errors.
struct FieldText {
    char* field;
    std::size_t width;
    std::string_view text;
    std::string_view name;
};

Status writeAll(std::initializer_list<FieldText> fields) {
    for (const auto& f : fields) {
        if (auto s = writeField(f.field, f.width, f.text, f.name); !s) return s;
    }
    return {};
}

bool allZero(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

Status writeRow(ListingRow& row, const ListedDevice& device) {
    const std::string_view state = device.state == ListedState::Mine ? kRowMine : kRowOther;
    return writeAll(
        {{row.mac, sizeof row.mac, device.mac, "the MAC address"},
         {row.state, sizeof row.state, state, "the state"},
         {row.registered, sizeof row.registered, device.registered, "the registration time"},
         {row.server, sizeof row.server, device.server, "the server text"}});
}

// The asked part of a row (the bytes after its first 192) into device.
Status decodeAsked(std::string_view part, ListedDevice& device) {
    auto at = readField(part, offsetof(ListingAsked, at), sizeof(ListingAsked::at),
                        VELQUOR_TR_NOOP("core", "time asked"));
    auto from = readField(part, offsetof(ListingAsked, from), sizeof(ListingAsked::from),
                          VELQUOR_TR_NOOP("core", "address asked from"));
    auto answer = readField(part, offsetof(ListingAsked, answer), sizeof(ListingAsked::answer),
                            VELQUOR_TR_NOOP("core", "answer"));
    for (const auto* field : {&at, &from, &answer}) {
        if (!*field) return field->error();
    }
    if (!at->empty() && !isUtcTime(*at)) {
        //: %1 is the time the row has
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "a row's time asked is '%1', not a UTC "
                                                         "time such as 2026-12-09T01:23:45Z"),
                                         {*at}});
    }
    if (!allZero(part.substr(offsetof(ListingAsked, reserved)))) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "a row of the reply has non-zero bytes "
                                                         "296 to 319"),
                                         {}});
    }
    device.askedAt = std::move(*at);
    device.askedFrom = std::move(*from);
    device.askedAnswer = std::move(*answer);
    return {};
}

Status checkShape(const ListingPageShape& shape) {
    if (shape.count > kListingPageRows) {
        //: %1 and %2 are numbers of rows
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core",
                                            "the reply announces %1 rows; a reply "
                                            "holds at most %2"),
                            {std::to_string(shape.count), std::to_string(kListingPageRows)}});
    }
    if (shape.start > shape.total || shape.count > shape.total - shape.start) {
        //: %1 and %2 are row numbers, %3 the number of rows in all
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "the reply's rows %1 to %2 lie beyond its total of %3"),
                {std::to_string(shape.start), std::to_string(shape.start + shape.count),
                 std::to_string(shape.total)}});
    }
    if (shape.more != (shape.start + shape.count < shape.total)) {
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{shape.more ? VELQUOR_TR_NOOP("core",
                                                         "the reply says more rows follow its "
                                                         "last one, the total says none do")
                                       : VELQUOR_TR_NOOP("core",
                                                         "the reply says it is the last page, the "
                                                         "total says rows remain after it"),
                            {}});
    }
    return {};
}

}  // namespace

Result<DeviceRequest> buildListingRequest(const ListingQuery& query) {
    auto record = buildDeviceRequest(
        {std::string(kOperationList), query.macAddress, query.account, query.userName});
    if (!record) return record.error();
    const std::string start =
        std::to_string(query.start) + (query.withAsked ? " " + std::string(kListingAsked) : "");
    std::memcpy(record->reserved, start.data(), start.size());
    return record;
}

bool isListingRequest(std::string_view record) {
    return record.size() == kDeviceRequestSize &&
           fieldText(record.data() + offsetof(DeviceRequest, operation), kTextFieldWidth) ==
               kOperationList;
}

Result<ListingQuery> decodeListingRequest(std::string_view record) {
    if (!isListingRequest(record)) {
        return makeError(ErrorCode::InvalidInput, "not a 512-byte LIST device request");
    }
    // The start row takes the place of the reserved zeros: decode the rest as any device
    // request, with those bytes zeroed.
    std::string plain(record);
    const std::size_t reservedAt = offsetof(DeviceRequest, reserved);
    auto start = readField(record, reservedAt, kDeviceReservedWidth, "start row");
    if (!start) return start.error();
    std::fill(plain.begin() + static_cast<std::ptrdiff_t>(reservedAt), plain.end(), '\0');
    auto fields = decodeDeviceRequest(plain);
    if (!fields) return fields.error();
    ListingQuery query{std::move(fields->userName), std::move(fields->macAddress), 0,
                       std::move(fields->server), false};
    const std::string asked = " " + std::string(kListingAsked);
    if (start->size() >= asked.size() && start->ends_with(asked)) {
        query.withAsked = true;
        start->resize(start->size() - asked.size());
    }
    if (!start->empty()) {
        auto row = parseDecimal(*start, "the start row");
        if (!row) return row.error();
        query.start = *row;
    }
    return query;
}

Result<std::string> encodeListingPage(const ListingPage& page) {
    const ListingPageShape shape{page.total, page.start, page.rows.size(), page.more,
                                 page.withAsked};
    if (auto s = checkShape(shape); !s) return s.error();
    auto header = zeroed<ListingHeader>();
    const std::string total = std::to_string(page.total);
    const std::string start = std::to_string(page.start);
    const std::string count = std::to_string(page.rows.size());
    if (auto s = writeAll({{header.word, sizeof header.word, kReplyRows, "the word"},
                           {header.total, sizeof header.total, total, "the total"},
                           {header.start, sizeof header.start, start, "the start"},
                           {header.count, sizeof header.count, count, "the count"},
                           {header.more, sizeof header.more, page.more ? kListingMore : kListingEnd,
                            "the more mark"},
                           {header.reserved, sizeof header.reserved,
                            page.withAsked ? kListingAsked : "", "the asked mark"}});
        !s) {
        return s.error();
    }
    std::string reply(recordBytes(header));
    reply.reserve(kListingHeaderSize + page.rows.size() * listingRowSize(page.withAsked));
    for (const auto& device : page.rows) {
        auto row = zeroed<ListingRow>();
        if (auto s = writeRow(row, device); !s) return s.error();
        reply += recordBytes(row);
        if (!page.withAsked) continue;
        auto asked = zeroed<ListingAsked>();
        if (auto s = writeAll(
                {{asked.at, sizeof asked.at, device.askedAt, "the time asked"},
                 {asked.from, sizeof asked.from, device.askedFrom, "the address asked from"},
                 {asked.answer, sizeof asked.answer, device.askedAnswer, "the answer"}});
            !s) {
            return s.error();
        }
        reply += recordBytes(asked);
    }
    return reply;
}

Result<ListingPageShape> decodeListingHeader(std::string_view header) {
    if (header.size() != kListingHeaderSize) {
        //: %1 and %2 are byte counts
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "the reply's header is %1 bytes long, not %2"),
                            {std::to_string(header.size()), std::to_string(kListingHeaderSize)}});
    }
    auto word =
        readField(header, offsetof(ListingHeader, word), 8, VELQUOR_TR_NOOP("core", "word"));
    if (!word) return word.error();
    if (*word != kReplyRows) {
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "the reply does not start with ROWS"), {}});
    }
    auto number = [&](std::size_t offset, std::size_t width,
                      std::string_view name) -> Result<std::uint64_t> {
        auto text = readField(header, offset, width, name);
        if (!text) return text.error();
        return parseDecimal(*text, name);
    };
    auto total = number(offsetof(ListingHeader, total), 12, VELQUOR_TR_NOOP("core", "the total"));
    auto start =
        number(offsetof(ListingHeader, start), 12, VELQUOR_TR_NOOP("core", "the start row"));
    auto rows = number(offsetof(ListingHeader, count), 8, VELQUOR_TR_NOOP("core", "the row count"));
    for (const auto* field : {&total, &start, &rows}) {
        if (!*field) return field->error();
    }
    ListingPageShape shape;
    shape.total = *total;
    shape.start = *start;
    shape.count = static_cast<std::size_t>(std::min<std::uint64_t>(*rows, kListingPageRows + 1));
    auto more =
        readField(header, offsetof(ListingHeader, more), 8, VELQUOR_TR_NOOP("core", "more mark"));
    if (!more) return more.error();
    if (*more != kListingMore && *more != kListingEnd) {
        //: %1 is the mark the reply has
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "the reply's more mark is '%1', not MORE or END"),
                {*more}});
    }
    shape.more = *more == kListingMore;
    const std::string_view reserved = header.substr(offsetof(ListingHeader, reserved));
    shape.withAsked = reserved.substr(0, kListingAsked.size()) == kListingAsked &&
                      allZero(reserved.substr(kListingAsked.size()));
    if (!shape.withAsked && !allZero(reserved)) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "the reply's header has non-zero bytes 48 "
                                                         "to 63"),
                                         {}});
    }
    if (auto s = checkShape(shape); !s) return s.error();
    return shape;
}

Result<ListedDevice> decodeListingRow(std::string_view row, bool withAsked) {
    if (row.size() != listingRowSize(withAsked)) {
        //: %1 and %2 are byte counts
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "a row of the reply is %1 bytes long, not %2"),
                {std::to_string(row.size()), std::to_string(listingRowSize(withAsked))}});
    }
    ListedDevice device;
    if (withAsked) {
        auto asked = decodeAsked(row.substr(kListingRowSize), device);
        if (!asked) return asked.error();
        row = row.substr(0, kListingRowSize);
    }
    auto mac =
        readField(row, offsetof(ListingRow, mac), 16, VELQUOR_TR_NOOP("core", "MAC address"));
    auto state = readField(row, offsetof(ListingRow, state), 8, VELQUOR_TR_NOOP("core", "state"));
    auto registered = readField(row, offsetof(ListingRow, registered), 24,
                                VELQUOR_TR_NOOP("core", "registration time"));
    auto server = readField(row, offsetof(ListingRow, server), kServerFieldWidth,
                            VELQUOR_TR_NOOP("core", "server"));
    for (const auto* field : {&mac, &state, &registered, &server}) {
        if (!*field) return field->error();
    }
    if (!allZero(row.substr(offsetof(ListingRow, reserved)))) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "a row of the reply has non-zero bytes "
                                                         "176 to 191"),
                                         {}});
    }
    if (*state != kRowMine && *state != kRowOther) {
        //: %1 is the state the row has
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "a row's state is '%1', not MINE or OTHER"),
                            {*state}});
    }
    device.state = *state == kRowMine ? ListedState::Mine : ListedState::Other;
    if (device.state == ListedState::Mine && !isUtcTime(*registered)) {
        //: %1 is the time the row has
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "a row's registration time is '%1', not "
                                                         "a UTC time such as 2026-12-09T01:23:45Z"),
                                         {*registered}});
    }
    if (device.state == ListedState::Other && (!registered->empty() || !server->empty())) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "a row of another account's device "
                                                         "carries its registration"),
                                         {}});
    }
    device.mac = std::move(*mac);
    device.registered = std::move(*registered);
    device.server = std::move(*server);
    return device;
}

}  // namespace velquor::wire
