// The LIST exchange: a device record out, a page of fixed-width rows back, every field checked
// before a row is handed on.
#include <openssl/ssl.h>

#include "provisioning/channel_parts.h"
#include "provisioning/provisioning_channel.h"
#include "support/hex.h"

namespace velquor::provisioning {

using namespace channel;
using support::ErrorCode;
using support::makeError;

namespace channel {

MaybeFailure Exchange::readUpTo(std::string& into, std::size_t wanted) {
    char buffer[16 * 1024];
    while (into.size() < wanted) {
        const int asked = static_cast<int>(std::min(sizeof buffer, wanted - into.size()));
        const int count = SSL_read(ssl, buffer, asked);
        if (count > 0) {
            into.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        const int error = SSL_get_error(ssl, count);
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && !into.empty())) {
            if (into.empty()) {
                return Failure{kClosedWithoutReply,
                               target + " closed the connection without replying"};
            }
            return std::nullopt;
        }
        if (!wantsIo(error)) {
            return Failure{kReadFailed, "reading the reply from " + target + " failed"};
        }
        if (!waitFor(fd, error, deadline, stop)) {
            return Failure{kReadFailed,
                           "no reply from " + target + " within " + seconds(timeouts.exchange),
                           true};
        }
    }
    return std::nullopt;
}

}  // namespace channel

namespace {

// A reply word where a page belongs: "NO" from a server that does not know LIST (and from ours
// for a refusal it has no word of its own for).
support::Error refusalOf(std::string_view reply) {
    const std::string_view word = wire::fieldText(reply.data(), reply.size());
    if (word == wire::kReplyNo) {
        return makeError(ErrorCode::Refused, "this server does not list devices");
    }
    return makeError(ErrorCode::Refused, "the server refused the listing (it replied \"" +
                                             support::escapeNonPrintable(word) + "\")");
}

support::Error broken(const support::Error& error) {
    return makeError(ErrorCode::InvalidInput,
                     "the server's listing breaks the layout: " + error.message);
}

}  // namespace

support::Result<wire::ListingPage> ProvisioningChannel::fetchListingPage(
    const wire::ListingQuery& query) {
    auto record = wire::buildListingRequest(query);
    if (!record) return record.error();
    std::string reply;
    const bool replied =
        transact(m_endpoint.devicePort, wire::kDeviceRequestSize, &*record, sizeof *record,
                 [&](Exchange& exchange) -> MaybeFailure {
                     if (auto failure = exchange.readUpTo(reply, wire::kListingHeaderSize)) {
                         return failure;
                     }
                     if (reply.size() < wire::kListingHeaderSize) {
                         return std::nullopt;  // a reply word
                     }
                     auto shape = wire::decodeListingHeader(reply);
                     if (!shape) return std::nullopt;  // said below
                     return exchange.readUpTo(
                         reply, wire::kListingHeaderSize + shape->count * wire::kListingRowSize);
                 });
    if (!replied) {
        return makeError(m_cancelled ? ErrorCode::Cancelled : ErrorCode::Network, m_lastError);
    }
    m_lastReply = reply.substr(0, wire::kReplyBufferSize);
    if (reply.size() < wire::kListingHeaderSize) return refusalOf(reply);
    auto shape =
        wire::decodeListingHeader(std::string_view(reply).substr(0, wire::kListingHeaderSize));
    if (!shape) return broken(shape.error());
    const std::size_t expected = wire::kListingHeaderSize + shape->count * wire::kListingRowSize;
    if (reply.size() != expected) {
        return broken(makeError(
            ErrorCode::InvalidInput,
            "it announced " + std::to_string(shape->count) + " rows and ended after " +
                std::to_string((reply.size() - wire::kListingHeaderSize) / wire::kListingRowSize) +
                " whole ones"));
    }
    wire::ListingPage page{shape->total, shape->start, shape->more, {}};
    page.rows.reserve(shape->count);
    for (std::size_t i = 0; i < shape->count; ++i) {
        auto row = wire::decodeListingRow(std::string_view(reply).substr(
            wire::kListingHeaderSize + i * wire::kListingRowSize, wire::kListingRowSize));
        if (!row) return broken(row.error());
        page.rows.push_back(std::move(*row));
    }
    return page;
}

}  // namespace velquor::provisioning
