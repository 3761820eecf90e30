// The LIST and FREE requests; see listing_request.h.
#include "server/requests/listing_request.h"

#include <limits>

#include "mac/mac_address.h"
#include "wire/device_listing.h"
#include "wire/wire_records.h"

namespace velquor::server {

namespace {

RequestOutcome refused(RequestOutcome outcome, std::string_view word, std::string detail) {
    outcome.reply = std::string(word);
    outcome.detail = std::move(detail);
    return outcome;
}

// What an account may see of a row: its own registration and what its phone was last told;
// of another account's only that the MAC is taken.
wire::ListedDevice listed(const DeviceRow& row, std::string_view user) {
    if (row.owner != user || row.ownerDeleted) {
        return {row.mac, wire::ListedState::Other, {}, {}, {}, {}, {}};
    }
    return {row.mac,      wire::ListedState::Mine, row.registered,  row.server,
            row.asked.at, row.asked.from,          row.asked.answer};
}

// The page as the reply's bytes; a stored text that cannot travel (a server text of another
// width, a MAC that is not canonical) is a store problem, never a broken reply.
RequestOutcome sendPage(RequestOutcome outcome, const wire::ListingPage& page) {
    auto bytes = wire::encodeListingPage(page);
    if (!bytes) {
        return refused(std::move(outcome), wire::kReplyNo,
                       "a stored registration cannot be listed: " + bytes.error().message);
    }
    outcome.reply = std::move(*bytes);
    outcome.logged = std::string(wire::kReplyRows) + " " + std::to_string(page.rows.size());
    return outcome;
}

RequestOutcome listOne(AccountStore& store, RequestOutcome outcome, std::string_view user,
                       std::string_view cell, bool withAsked) {
    const auto canonical = mac::canonicalMac(cell);
    if (!canonical) {
        return refused(std::move(outcome), wire::kReplyNotAcceptable,
                       "not a MAC address (" + std::to_string(cell.size()) + " bytes)");
    }
    outcome.mac = *canonical;
    auto found = store.findDevice(*canonical);
    if (!found) return refused(std::move(outcome), wire::kReplyTryAgain, found.error().message);
    wire::ListingPage page;
    page.withAsked = withAsked;
    if (found->has_value()) {
        page.total = 1;
        page.rows.push_back(listed(**found, user));
    }
    return sendPage(std::move(outcome), page);
}

// Whether one row can travel in a page (a server text too wide for its field, or holding a
// zero byte, from a hand-edited database, cannot); its problem, or empty.
std::string unlistable(const wire::ListedDevice& row) {
    wire::ListingPage alone;
    alone.total = 1;
    alone.rows.push_back(row);
    auto bytes = wire::encodeListingPage(alone);
    return bytes ? std::string() : bytes.error().message;
}

// A row that cannot travel is left out of its page, counted out of the page's total and
// named in the log's line; the rest of the account is listed.
RequestOutcome listAccount(AccountStore& store, RequestOutcome outcome, std::string_view owner,
                           std::uint64_t start, bool withAsked) {
    // A start past every row is an empty last page, however far past.
    const std::uint64_t from =
        std::min<std::uint64_t>(start, std::numeric_limits<std::int64_t>::max());
    auto stored = store.devicesOf(owner, from, wire::kListingPageRows);
    if (!stored) return refused(std::move(outcome), wire::kReplyTryAgain, stored.error().message);
    wire::ListingPage page;
    page.total = stored->total;
    page.withAsked = withAsked;
    for (const auto& row : stored->rows) {
        wire::ListedDevice listed = server::listed(row, row.owner);
        if (auto problem = unlistable(listed); !problem.empty()) {
            --page.total;
            outcome.detail +=
                (outcome.detail.empty() ? "left out " : "; left out ") + row.mac + ": " + problem;
            continue;
        }
        page.rows.push_back(std::move(listed));
    }
    page.start = std::min(start, page.total);
    page.more = page.start + page.rows.size() < page.total;
    return sendPage(std::move(outcome), page);
}

}  // namespace

bool isInventoryRequest(std::string_view record) {
    if (record.size() != wire::kDeviceRequestSize) return false;
    const auto operation = wire::fieldText(record.data(), wire::kTextFieldWidth);
    return operation == wire::kOperationList || operation == wire::kOperationFree;
}

RequestOutcome answerInventoryRequest(AccountStore& store, std::string_view record,
                                      const GrantCheck& grantProblem) {
    RequestOutcome outcome;
    outcome.operation = std::string(wire::fieldText(record.data(), wire::kTextFieldWidth));
    auto query = wire::decodeListingRequest(record);
    if (outcome.operation == wire::kOperationFree) {
        auto fields = wire::decodeDeviceRequest(record);
        if (!fields)
            return refused(std::move(outcome), wire::kReplyNo,
                           "malformed: " + fields.error().message);
        query = wire::ListingQuery{fields->userName, fields->macAddress, 0, fields->server, false};
    }
    if (!query) {
        return refused(std::move(outcome), wire::kReplyNo, "malformed: " + query.error().message);
    }
    outcome.user = query->userName;
    if (auto refusal = grantProblem(outcome, query->userName)) return *refusal;
    const bool administrator = query->userName == kAdministratorName;
    if (!query->account.empty() && !administrator) {
        return refused(std::move(outcome), wire::kReplyNotAcceptable,
                       "only the administrator lists or frees another account's devices");
    }
    if (outcome.operation == wire::kOperationFree) {
        if (query->account.empty() || !query->macAddress.empty()) {
            return refused(std::move(outcome), wire::kReplyNotAcceptable,
                           "FREE names an account and no MAC");
        }
        auto freed = store.releaseDevicesOf(query->account);
        if (!freed) {
            return refused(std::move(outcome), wire::kReplyTryAgain, freed.error().message);
        }
        outcome.reply = std::string(wire::kReplyYes);
        outcome.detail = "freed " + std::to_string(*freed) + " devices of " + query->account;
        return outcome;
    }
    if (!query->macAddress.empty()) {
        return listOne(store, std::move(outcome), query->userName, query->macAddress,
                       query->withAsked);
    }
    const std::string& owner = query->account.empty() ? query->userName : query->account;
    return listAccount(store, std::move(outcome), owner, query->start, query->withAsked);
}

}  // namespace velquor::server
