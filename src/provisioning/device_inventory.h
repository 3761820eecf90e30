// Reading back what the server holds for the logged-in user: the devices registered to the
// account, page by page with several pages in flight, and a set of MAC addresses checked
// against them. Nothing is shown as registered that did not arrive whole: a reply that breaks
// the layout stops the listing with an error naming what was wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "provisioning/provisioning_channel.h"
#include "report/report_table.h"
#include "support/progress.h"
#include "support/result.h"
#include "wire/device_listing.h"

namespace velquor::provisioning {

// Said when the server answers a listing with a plain refusal: an older server without it.
inline constexpr std::string_view kListingUnsupported = kListingUnsupportedText;

// The most devices a listing takes: a first page announcing more ends the listing with a
// reason before anything is set aside for them.
inline constexpr std::uint64_t kMostListedDevices = 10'000'000;

struct RegisteredDevice {
    std::string mac;  // canonical: 12 lower-case hexadecimal digits
    std::string server;
    std::string registered;  // UTC, 2026-12-09T01:23:45Z
    // What a phone was last told on kestod's phones' port: when (UTC as above; empty: never),
    // from where and what; askedKnown false when the server is one from before that port.
    std::string askedAt{};
    std::string askedFrom{};
    std::string askedAnswer{};
    bool askedKnown = false;
    bool operator==(const RegisteredDevice&) const = default;
};

// "asked at 2026-12-09T02:23:45+01:00 from 192.0.2.7 (redirected)" (the time local, with its
// offset), "never asked", or empty when the server cannot say.
std::string askedText(const RegisteredDevice& device);
// The time of a UTC text such as 2026-12-09T01:23:45Z as a person reads it (local, with its
// offset); the text itself when it is not one.
std::string localTimeOfUtc(const std::string& utc);

enum class CheckOutcome { Registered, NotRegistered, AnotherAccount };

// "registered", "not registered", "another account": the words of reports and the CLI.
std::string_view checkOutcomeName(CheckOutcome outcome);

struct CheckedDevice {
    std::string mac;  // canonical
    CheckOutcome outcome = CheckOutcome::NotRegistered;
    std::string server;      // Registered only
    std::string registered;  // Registered only
    // Registered only: what a phone was last told on kestod's phones' port (askedText), and
    // when (UTC; empty: never or unknown) and what, for the checks that weigh it.
    std::string asked{};
    std::string askedAt{};
    std::string askedAnswer{};
};

// One page of a listing from the server; ProvisioningChannel::fetchListingPage in use.
using PageFetcher =
    std::function<support::Result<wire::ListingPage>(const wire::ListingQuery& query)>;
// A fetcher of its own for each thread that fetches pages (each owns a channel).
using PageFetcherFactory = std::function<PageFetcher()>;

struct InventoryOptions {
    std::size_t pagesInFlight = 4;
};

// Whose devices: the logged-in user's own, or (the administrator only) another account's.
struct InventoryScope {
    std::string user;
    std::string account;  // empty: the user's own
};

// Every device of the scope, in canonical MAC order. progress counts rows.
support::Result<std::vector<RegisteredDevice>> listDevices(const PageFetcherFactory& fetchers,
                                                           const InventoryScope& scope,
                                                           support::ProgressSink& progress,
                                                           std::stop_token stop,
                                                           InventoryOptions options = {});

// The outcome of every MAC address given (canonical forms), in their order: one listing of
// the account when that takes fewer exchanges than asking for each, and one question for each
// MAC the listing did not hold (is it another account's?). progress counts MACs.
support::Result<std::vector<CheckedDevice>> checkDevices(
    const PageFetcherFactory& fetchers, std::string_view user, const std::vector<std::string>& macs,
    support::ProgressSink& progress, std::stop_token stop, InventoryOptions options = {});

// How many devices account holds, asked by the administrator (before deleting it, say).
support::Result<std::uint64_t> accountDeviceCount(const KestoEndpoint& endpoint,
                                                  std::string_view administrator,
                                                  std::string_view account);

// "dave has 2 registered devices." (one device: "1 registered device").
std::string registeredDevicesText(std::string_view account, std::uint64_t count);

// The administrator frees every device of account (before deleting it, say).
support::Status freeAccountDevices(const KestoEndpoint& endpoint, std::string_view administrator,
                                   std::string_view account);

// A listing as a report: mac,server,registered.
report::ReportTable listingReport(const std::vector<RegisteredDevice>& devices);
// A check as a report: mac,outcome,server.
report::ReportTable checkReport(const std::vector<CheckedDevice>& checked);

// Fetchers over real channels to the endpoint's device port.
PageFetcherFactory channelFetchers(const KestoEndpoint& endpoint, std::stop_token stop);

}  // namespace velquor::provisioning
