// Listing the user's devices and checking MAC addresses against them.
#include "provisioning/device_inventory.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "mac/mac_address.h"
#include "support/local_time.h"
#include "wire/server_text.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;
using support::Result;
using support::Status;

namespace {

constexpr std::uint64_t kPageRows = wire::kListingPageRows;
// What the progress counts, as the progress dialog names it.
constexpr const char* kCountingDevices = VELQUOR_TR_NOOP("core", "devices");
constexpr const char* kCountingMacs = VELQUOR_TR_NOOP("core", "MAC addresses");

support::Error cancelled() {
    return makeError(ErrorCode::Cancelled,
                     support::Phrase{VELQUOR_TR_NOOP("core", "cancelled"), {}});
}

wire::ListingQuery pageOf(const InventoryScope& scope, std::uint64_t start) {
    return {scope.user, std::string(), start, scope.account};
}

// Runs job(0) … job(count - 1) over up to `workers` threads, each with a fetcher of its own;
// the first error stops the rest and is the result.
Status forEachInParallel(std::size_t count, std::size_t workers, const PageFetcherFactory& fetchers,
                         const std::stop_token& stop,
                         const std::function<Status(std::size_t, const PageFetcher&)>& job) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    std::optional<support::Error> firstError;
    auto work = [&] {
        const PageFetcher fetch = fetchers();
        for (std::size_t index = next++; index < count && !failed; index = next++) {
            if (stop.stop_requested()) {
                failed = true;
                break;
            }
            if (auto s = job(index, fetch); !s) {
                std::lock_guard lock(errorMutex);
                if (!firstError) firstError = s.error();
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> threads;
        const std::size_t started =
            std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(count, 1));
        for (std::size_t i = 0; i < started; ++i) threads.emplace_back(work);
    }
    if (firstError) return *firstError;
    if (stop.stop_requested()) return cancelled();
    return Status{};
}

// A row of the user's own listing: its MAC must be a MAC address in canonical form, mine.
Result<RegisteredDevice> ownRow(const wire::ListedDevice& row, std::uint64_t at, bool askedKnown) {
    const auto canonical = mac::canonicalMac(row.mac);
    if (!canonical || *canonical != row.mac) {
        //: %1 is a row number
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "row %1 of the server's listing does not "
                                                         "hold a MAC address in the canonical "
                                                         "form"),
                                         {std::to_string(at + 1)}});
    }
    if (row.state != wire::ListedState::Mine) {
        //: %1 is a row number
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "row %1 of the server's listing is "
                                                         "another account's device"),
                                         {std::to_string(at + 1)}});
    }
    return RegisteredDevice{row.mac,       row.server,      row.registered, row.askedAt,
                            row.askedFrom, row.askedAnswer, askedKnown};
}

// A page must be the one asked for: where it was asked to start, with the total the listing
// began with and every row it can hold up to that total.
Status checkPage(const wire::ListingPage& page, std::uint64_t start, std::uint64_t total) {
    if (page.start != start) {
        //: %1 and %2 are row numbers
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core",
                                            "the server answered the page at row %1 "
                                            "with the page at row %2"),
                            {std::to_string(start + 1), std::to_string(page.start + 1)}});
    }
    if (page.total != total) {
        //: %1 and %2 are numbers of devices, before and after
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "the devices changed while they were "
                                                         "listed (%1, then %2): list them again"),
                                         {std::to_string(total), std::to_string(page.total)}});
    }
    const std::uint64_t expected = std::min(kPageRows, total - std::min(total, start));
    if (page.rows.size() != expected) {
        //: %1 is a row number, %2 and %3 numbers of rows
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "the page at row %1 holds %2 rows, not %3"),
                            {std::to_string(start + 1), std::to_string(page.rows.size()),
                             std::to_string(expected)}});
    }
    return {};
}

// A page's rows, each checked as the user's own.
Result<std::vector<RegisteredDevice>> ownRows(const wire::ListingPage& page) {
    std::vector<RegisteredDevice> rows;
    rows.reserve(page.rows.size());
    for (std::size_t i = 0; i < page.rows.size(); ++i) {
        auto row = ownRow(page.rows[i], page.start + i, page.withAsked);
        if (!row) return row.error();
        rows.push_back(std::move(*row));
    }
    return rows;
}

// A total no account comes near: a server announcing more is broken or hostile, and a listing
// must not set out to hold it.
Status checkTotal(std::uint64_t total) {
    if (total <= kMostListedDevices) return {};
    //: %1 is the number of devices the server announced, %2 the most a listing takes
    return makeError(ErrorCode::InvalidInput,
                     support::Phrase{VELQUOR_TR_NOOP("core",
                                                     "the server announces %1 devices, more than "
                                                     "the %2 a listing takes"),
                                     {std::to_string(total), std::to_string(kMostListedDevices)}});
}

// The pages, in order, as one list; each page is let go once its rows have moved.
std::vector<RegisteredDevice> joinPages(std::vector<std::vector<RegisteredDevice>>& pages) {
    std::size_t received = 0;
    for (const auto& page : pages) received += page.size();
    std::vector<RegisteredDevice> rows;
    rows.reserve(received);
    for (auto& page : pages) {
        std::move(page.begin(), page.end(), std::back_inserter(rows));
        std::vector<RegisteredDevice>().swap(page);
    }
    return rows;
}

// Rows arrive in canonical MAC order; a repeat or a step back means rows moved between pages.
Status checkOrder(const std::vector<RegisteredDevice>& rows) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (!(rows[i - 1].mac < rows[i].mac)) {
            //: %1 is a row number
            return makeError(ErrorCode::InvalidInput,
                             support::Phrase{VELQUOR_TR_NOOP("core",
                                                             "the devices changed while they were "
                                                             "listed (row %1 repeats or precedes "
                                                             "the one before it): list them again"),
                                             {std::to_string(i + 1)}});
        }
    }
    return {};
}

// The pages after the first, several at once, each kept as it arrives.
Status fetchRemainingPages(const PageFetcherFactory& fetchers, const InventoryScope& scope,
                           const wire::ListingPage& first,
                           std::vector<std::vector<RegisteredDevice>>& pages,
                           support::ProgressSink& progress, const std::stop_token& stop,
                           std::size_t inFlight) {
    const std::uint64_t total = first.total;
    std::atomic<std::uint64_t> done{first.rows.size()};
    std::mutex progressMutex;
    return forEachInParallel(pages.size() - 1, inFlight, fetchers, stop,
                             [&](std::size_t index, const PageFetcher& fetch) -> Status {
                                 const std::uint64_t start = (index + 1) * kPageRows;
                                 auto page = fetch(pageOf(scope, start));
                                 if (!page) return page.error();
                                 if (auto s = checkPage(*page, start, total); !s) return s;
                                 auto rows = ownRows(*page);
                                 if (!rows) return rows.error();
                                 pages[index + 1] = std::move(*rows);
                                 const std::uint64_t now = done += page->rows.size();
                                 std::lock_guard lock(progressMutex);
                                 progress.progress(now, total, kCountingDevices);
                                 return {};
                             });
}

// One question about one MAC: mine (with its registration), another account's, or nobody's.
Result<CheckedDevice> askOne(const PageFetcher& fetch, std::string_view user,
                             const std::string& mac) {
    auto page = fetch({std::string(user), mac, 0, std::string()});
    if (!page) return page.error();
    if (page->rows.size() > 1 || page->total != page->rows.size()) {
        //: %1 is a number of devices
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "the server answered the question about "
                                                         "one MAC address with %1 devices"),
                                         {std::to_string(page->total)}});
    }
    if (page->rows.empty()) return CheckedDevice{mac, CheckOutcome::NotRegistered, {}, {}};
    const auto& row = page->rows.front();
    if (row.mac != mac) {
        //: %1 is the MAC address asked about
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "the server answered the question about "
                                                         "%1 with another MAC address"),
                                         {mac}});
    }
    if (row.state == wire::ListedState::Other) {
        return CheckedDevice{mac, CheckOutcome::AnotherAccount, {}, {}};
    }
    const RegisteredDevice registration{row.mac,       row.server,      row.registered, row.askedAt,
                                        row.askedFrom, row.askedAnswer, page->withAsked};
    return CheckedDevice{
        mac,         CheckOutcome::Registered, row.server, row.registered, askedText(registration),
        row.askedAt, row.askedAnswer};
}

// The rest of a listing whose first page has arrived. Memory grows with the rows received,
// never with the total a server announces.
Result<std::vector<RegisteredDevice>> listFromFirstPage(
    const PageFetcherFactory& fetchers, const InventoryScope& scope, const wire::ListingPage& first,
    support::ProgressSink& progress, const std::stop_token& stop, InventoryOptions options) {
    if (auto s = checkTotal(first.total); !s) return s.error();
    if (auto s = checkPage(first, 0, first.total); !s) return s.error();
    const std::uint64_t pageCount =
        std::max<std::uint64_t>(1, (first.total + kPageRows - 1) / kPageRows);
    std::vector<std::vector<RegisteredDevice>> pages(static_cast<std::size_t>(pageCount));
    auto firstRows = ownRows(first);
    if (!firstRows) return firstRows.error();
    pages.front() = std::move(*firstRows);
    progress.progress(first.rows.size(), first.total, kCountingDevices);
    if (auto s = fetchRemainingPages(fetchers, scope, first, pages, progress, stop,
                                     options.pagesInFlight);
        !s) {
        return s.error();
    }
    std::vector<RegisteredDevice> rows = joinPages(pages);
    if (auto s = checkOrder(rows); !s) return s.error();
    return rows;
}

}  // namespace

std::string_view checkOutcomeName(CheckOutcome outcome) {
    switch (outcome) {
        case CheckOutcome::Registered:
            return "registered";
        case CheckOutcome::NotRegistered:
            return "not registered";
        case CheckOutcome::AnotherAccount:
            return "another account";
    }
    return "not registered";
}

Result<std::vector<RegisteredDevice>> listDevices(const PageFetcherFactory& fetchers,
                                                  const InventoryScope& scope,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop, InventoryOptions options) {
    if (stop.stop_requested()) return cancelled();
    auto first = fetchers()(pageOf(scope, 0));
    if (!first) return first.error();
    return listFromFirstPage(fetchers, scope, *first, progress, stop, options);
}

Result<std::vector<CheckedDevice>> checkDevices(const PageFetcherFactory& fetchers,
                                                std::string_view user,
                                                const std::vector<std::string>& macs,
                                                support::ProgressSink& progress,
                                                std::stop_token stop, InventoryOptions options) {
    std::vector<CheckedDevice> checked(macs.size());
    std::vector<std::size_t> toAsk;
    // A handful of MACs is cheaper asked one by one than an account of many pages listed.
    const InventoryScope own{std::string(user), std::string()};
    auto first = fetchers()(pageOf(own, 0));
    if (!first) return first.error();
    if (auto s = checkTotal(first->total); !s) return s.error();
    const std::uint64_t pages = (first->total + kPageRows - 1) / kPageRows;
    if (macs.size() <= pages) {
        for (std::size_t i = 0; i < macs.size(); ++i) toAsk.push_back(i);
    } else {
        support::NullProgress quiet;
        auto mine = listFromFirstPage(fetchers, own, *first, quiet, stop, options);
        if (!mine) return mine.error();
        std::unordered_map<std::string_view, const RegisteredDevice*> byMac;
        for (const auto& device : *mine) byMac.emplace(device.mac, &device);
        for (std::size_t i = 0; i < macs.size(); ++i) {
            const auto found = byMac.find(macs[i]);
            if (found == byMac.end()) {
                toAsk.push_back(i);
                continue;
            }
            checked[i] = {macs[i],
                          CheckOutcome::Registered,
                          found->second->server,
                          found->second->registered,
                          askedText(*found->second),
                          found->second->askedAt,
                          found->second->askedAnswer};
        }
    }
    std::atomic<std::uint64_t> done{macs.size() - toAsk.size()};
    std::mutex progressMutex;
    progress.progress(done, macs.size(), kCountingMacs);
    auto asked = forEachInParallel(toAsk.size(), options.pagesInFlight, fetchers, stop,
                                   [&](std::size_t index, const PageFetcher& ask) -> Status {
                                       auto outcome = askOne(ask, user, macs[toAsk[index]]);
                                       if (!outcome) return outcome.error();
                                       checked[toAsk[index]] = std::move(*outcome);
                                       const std::uint64_t now = ++done;
                                       std::lock_guard lock(progressMutex);
                                       progress.progress(now, macs.size(), kCountingMacs);
                                       return {};
                                   });
    if (!asked) return asked.error();
    return checked;
}

support::Result<std::uint64_t> accountDeviceCount(const KestoEndpoint& endpoint,
                                                  std::string_view administrator,
                                                  std::string_view account) {
    ProvisioningChannel channel(endpoint);
    auto page = channel.fetchListingPage(
        {std::string(administrator), std::string(), 0, std::string(account)});
    if (!page) return page.error();
    return page->total;
}

std::string registeredDevicesText(std::string_view account, std::uint64_t count) {
    return std::string(account) + " has " + std::to_string(count) + " registered device" +
           (count == 1 ? "." : "s.");
}

support::Status freeAccountDevices(const KestoEndpoint& endpoint, std::string_view administrator,
                                   std::string_view account) {
    auto record = wire::buildDeviceRequest({std::string(wire::kOperationFree), std::string(),
                                            std::string(account), std::string(administrator)});
    if (!record) return record.error();
    ProvisioningChannel channel(endpoint);
    if (channel.SendDeviceRequest(*record) == kRequestAccepted) return {};
    const ErrorCode code =
        channel.lastFailureStage() == FailureStage::None ? ErrorCode::Refused : ErrorCode::Network;
    return errorSaying(code, channel.lastError(), channel.lastErrorPhrase());
}

PageFetcherFactory channelFetchers(const KestoEndpoint& endpoint, std::stop_token stop) {
    return [endpoint, stop] {
        auto channel = std::make_shared<ProvisioningChannel>(endpoint);
        channel->setStopToken(stop);
        return PageFetcher([channel](const wire::ListingQuery& query) {
            return channel->fetchListingPage(query);
        });
    };
}

std::string localTimeOfUtc(const std::string& utc) {
    std::tm parts{};
    const char* end = ::strptime(utc.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    if (end == nullptr || *end != '\0') return utc;
    return support::localTimeText(std::chrono::system_clock::from_time_t(::timegm(&parts)));
}

std::string askedText(const RegisteredDevice& device) {
    if (!device.askedKnown) return {};
    if (device.askedAt.empty()) return "never asked";
    return "asked at " + localTimeOfUtc(device.askedAt) + " from " + device.askedFrom + " (" +
           device.askedAnswer + ")";
}

// The server texts without a password they hold.
report::ReportTable listingReport(const std::vector<RegisteredDevice>& devices) {
    report::ReportTable table{{"mac", "server", "registered", "asked"}, {}};
    table.rows.reserve(devices.size());
    for (const auto& device : devices) {
        table.rows.push_back({device.mac, wire::maskedServerText(device.server),
                              support::localTimeOfUtcText(device.registered), askedText(device)});
    }
    return table;
}

report::ReportTable checkReport(const std::vector<CheckedDevice>& checked) {
    report::ReportTable table{{"mac", "outcome", "server", "asked"}, {}};
    table.rows.reserve(checked.size());
    for (const auto& device : checked) {
        table.rows.push_back({device.mac, std::string(checkOutcomeName(device.outcome)),
                              wire::maskedServerText(device.server), device.asked});
    }
    return table;
}

}  // namespace velquor::provisioning
