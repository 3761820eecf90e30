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
            if (into.empty()) return closedWithoutReply();
            return std::nullopt;
        }
        if (!wantsIo(error)) return readingFailed();
        if (!waitFor(fd, error, deadline, stop)) return noReplyInTime();
    }
    return std::nullopt;
}

}  // namespace channel

namespace {

support::Error broken(const support::Error& error) {
    //: %1 is what was wrong with the listing
    return makeError(
        ErrorCode::InvalidInput,
        support::withCause(
            support::Phrase{VELQUOR_TR_NOOP("core", "the server's listing breaks the layout: %1"),
                            {}},
            error));
}

}  // namespace

// A reply word where a page belongs: worded as for any request, but a plain "NO" comes from a
// server that does not know LIST (ours words every refusal of a listing).
support::Error ProvisioningChannel::listingRefusal(std::string_view reply) {
    std::string buffer(reply.substr(0, wire::kReplyBufferSize));
    buffer.resize(wire::kReplyBufferSize, '\0');
    interpretReply(buffer, false, {});
    if (wire::replyIs(buffer, wire::kReplyNo)) {
        m_lastErrorPhrase = support::Phrase{kListingUnsupportedText.data(), {}};
        m_lastError = m_lastErrorPhrase.english();
    }
    return errorSaying(ErrorCode::Refused, m_lastError, m_lastErrorPhrase);
}

// Asks for what each phone was told too; a server from before the phones' port refuses that
// as malformed ("NO"), and is asked plainly from then on.
support::Result<wire::ListingPage> ProvisioningChannel::fetchListingPage(
    const wire::ListingQuery& query) {
    wire::ListingQuery asked = query;
    asked.withAsked = !m_listsWithoutAsked;
    auto page = fetchListingPageAsked(asked);
    if (page || !asked.withAsked || !wire::replyIs(m_lastReply, wire::kReplyNo)) return page;
    m_listsWithoutAsked = true;
    asked.withAsked = false;
    return fetchListingPageAsked(asked);
}

support::Result<wire::ListingPage> ProvisioningChannel::fetchListingPageAsked(
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
                         reply, wire::kListingHeaderSize +
                                    shape->count * wire::listingRowSize(shape->withAsked));
                 });
    if (!replied) {
        return errorSaying(m_cancelled ? ErrorCode::Cancelled : ErrorCode::Network, m_lastError,
                           m_lastErrorPhrase);
    }
    m_lastReply = reply.substr(0, wire::kReplyBufferSize);
    if (reply.size() < wire::kListingHeaderSize) return listingRefusal(reply);
    auto shape =
        wire::decodeListingHeader(std::string_view(reply).substr(0, wire::kListingHeaderSize));
    if (!shape) return broken(shape.error());
    const std::size_t rowSize = wire::listingRowSize(shape->withAsked);
    const std::size_t expected = wire::kListingHeaderSize + shape->count * rowSize;
    if (reply.size() != expected) {
        const std::size_t whole = (reply.size() - wire::kListingHeaderSize) / rowSize;
        //: %1 and %2 are numbers of rows
        return broken(makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "it announced %1 rows and ended after %2 whole ones"),
                {std::to_string(shape->count), std::to_string(whole)}}));
    }
    wire::ListingPage page{shape->total, shape->start, shape->more, {}, shape->withAsked};
    page.rows.reserve(shape->count);
    for (std::size_t i = 0; i < shape->count; ++i) {
        auto row = wire::decodeListingRow(
            std::string_view(reply).substr(wire::kListingHeaderSize + i * rowSize, rowSize),
            shape->withAsked);
        if (!row) return broken(row.error());
        page.rows.push_back(std::move(*row));
    }
    return page;
}

}  // namespace velquor::provisioning
