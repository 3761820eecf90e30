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
    std::string mac;       // canonical; empty for a refused row
    std::string fileName;  // "001A2B3C4D5E.xml"
    int column = 0;        // the sheet's column of the MAC
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
    std::string detail;         // the library's own words for a server that cannot be reached
    // The check's own finding, before the fetch log had its say (addFetches shows it again
    // once the phone fetches).
    Finding checked;
    std::string asked;        // what kestod's phones' port last told it (askedText)
    std::string askedAt;      // when, UTC; empty when it never asked or the server cannot say
    std::string askedAnswer;  // "redirected", "not found"
};

struct SiteCheckInput {
    std::vector<Phone> phones;
    std::string outputFolder;        // Generate's output: the plain files, en/ the encrypted
    std::optional<std::string> key;  // the phones' key: the served file must decrypt with it
    // One per phone, in the same order (provisioning::checkDevices); none: not logged in.
    std::optional<std::vector<provisioning::CheckedDevice>> registrations;
    FetchOptions fetch;
};

// A cell of the sheet that holds no MAC address, with the reason.
struct RefusedRow {
    int row = 0;
    int column = 0;
    std::string cell;
    support::Phrase reason;
};

// "A7 not-a-mac: not a MAC address".
std::string refusedRowText(const RefusedRow& refused);

// The phones of a MAC file or (column not 0) of that column of a device sheet from row 2 on,
// as the device batches read them, one per phone as Generate writes them: a repeated MAC is
// its last row, its file named by pattern with that row's MAC in form; in the rows' order.
// Cells that are not MAC addresses are refused, with their reason.
struct SheetPhones {
    std::vector<Phone> phones;
    std::vector<RefusedRow> refused;
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

// Every phone checked, in their order: the fetches of the registered ones done fetch.inFlight
// at a time, each answer judged as it comes against the phone's files read from the output
// folder then, and let go: the memory held is bounded by the fetches in flight, not by the
// phones. progress counts fetches.
std::vector<PhoneCheck> checkPhones(const SiteCheckInput& input, support::ProgressSink& progress,
                                    std::stop_token stop = {});

// What the phone server's fetch log saw each phone do: "fetched by the phone at TIME from
// ADDR" of its last fetch; or a phone that only asked for a name that is not there, or whose
// last request was refused, says so with the name it asked for, and over a "ready" or "not
// checked" verdict that is its verdict, with what to do. A row with nothing else to do weighs
// what kestod's phones' port told the phone against the log: sent to its Server text but no
// fetch known, or its file fetched from another place than the Server text, or told "not
// found" before its registration; each says what to do.
void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::FetchRecord>& records);
// The same from statuses already rebuilt (a running phone server's); a phone the statuses do
// not name has nothing from the log.
void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::PhoneStatus>& phones);

}  // namespace velquor::phonecheck
