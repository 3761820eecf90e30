// The phone's-eye check: for each phone of a sheet, what the phone will do, compared with what
// Generate wrote. Its registration (mine, another account's, none) and server text, the URL
// the phone will ask for (the server text joined with the phone's file name), the answer
// fetched from there, and one verdict: ready, or the first problem with its reason and what
// to do about it.
#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "mac/file_name.h"
#include "phonecheck/http_fetcher.h"
#include "phonecheck/verdict.h"
#include "provisioning/device_inventory.h"
#include "serve/log/fetch_record.h"
#include "serve/status/site_status.h"
#include "support/progress.h"
#include "support/result.h"
#include "support/translatable.h"

namespace velquor::phonecheck {

// One phone of the sheet, as Generate named its file.
struct Phone {
    int row = 0;           // the sheet's row
    std::string cell;      // the MAC as the sheet shows it
    std::string mac;       // canonical
    std::string fileName;  // "001A2B3C4D5E.xml"
};

struct PhoneCheck {
    Phone phone;
    // The file the phone should get, relative to the output folder ("en/001A2B3C4D5E.xml" when
    // the run encrypted), and its MD5; empty when it was not generated.
    std::string servedFile;
    std::string md5;
    std::optional<provisioning::CheckOutcome> registration;  // none: not asked
    std::string serverText;                                  // registered to the user only
    std::string url;                                         // what the phone asks for
    Verdict verdict = Verdict::NotGenerated;
    support::Phrase reason;     // "ready", "404 at http://...", ...
    support::Phrase action;     // what to do: "register it"; empty when ready
    support::Phrase fetchedBy;  // "fetched by the phone at TIME from ADDR", when known
    std::string asked;          // what kestod's phones' port last told it (askedText)
};

struct SiteCheckInput {
    std::vector<Phone> phones;
    std::string outputFolder;        // Generate's output: the plain files, en/ the encrypted
    std::optional<std::string> key;  // the phones' key: the served file must decrypt with it
    // One per phone, in the same order (provisioning::checkDevices); none: not logged in.
    std::optional<std::vector<provisioning::CheckedDevice>> registrations;
    FetchOptions fetch;
};

// The phones of a MAC file or (column not 0) of that column of a device sheet from row 2 on,
// as the device batches read them, one per phone as Generate writes them: a repeated MAC is
// its last row, its file named by pattern with that row's MAC in form; in the rows' order.
// Cells that are not MAC addresses are left out; refused counts them.
struct SheetPhones {
    std::vector<Phone> phones;
    std::vector<std::string> refused;  // "A7 not-a-mac: not a MAC address"
};
support::Result<SheetPhones> phonesOfSheet(const std::string& path, int column, mac::Form form,
                                           const mac::FileNamePattern& pattern,
                                           std::stop_token stop = {});

// The server text joined with the phone's file name: "https://prov.example/cfg/" and
// "001A2B3C4D5E.xml" make "https://prov.example/cfg/001A2B3C4D5E.xml"; a '/' is put
// between them when the server text does not end with one.
std::string phoneUrl(const std::string& serverText, const std::string& fileName);

// Fetches are light for a web server next to the phones' own: this many at once by default,
// the most --jobs may ask for. The CLI's help, its manual and the README name this figure.
inline constexpr std::size_t kDefaultFetchesInFlight = 64;

// The fetches' time-outs are the settings' connect and exchange time-outs.
FetchOptions fetchOptionsFor(const provisioning::KestoEndpoint& endpoint);

// Each phone's registration for user, in the phones' order (provisioning::checkDevices over the
// endpoint's device port). progress counts MACs.
support::Result<std::vector<provisioning::CheckedDevice>> registrationsOf(
    const provisioning::KestoEndpoint& endpoint, const std::string& user,
    const std::vector<Phone>& phones, support::ProgressSink& progress, std::stop_token stop = {});

// Every phone checked, in their order: each file read from the output folder, the fetches of
// the registered ones done fetch.inFlight at a time. progress counts fetches.
std::vector<PhoneCheck> checkSite(const SiteCheckInput& input, support::ProgressSink& progress,
                                  std::stop_token stop = {});

// Each phone the phone server's fetch log saw take its file whole: "fetched by the phone at
// TIME from ADDR", of its last fetch.
void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::FetchRecord>& records);
// The same from statuses already rebuilt (a running phone server's): a phone that has not
// taken its file whole has no "fetched by" text.
void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::PhoneStatus>& phones);

}  // namespace velquor::phonecheck
