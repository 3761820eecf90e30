// The site check as the CLI and the window both run it: the sheet's phones and the fetch log
// read, each phone's registration asked when logged in, its file fetched as the phone will and
// judged, and what the phone server saw it do; one row per row of the sheet, a refused one
// with its reason, and the counts of the summary. The two only present its result.
#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "mac/file_name.h"
#include "mac/mac_address.h"
#include "phonecheck/phone_check.h"
#include "provisioning/kesto_operations.h"
#include "serve/status/site_status.h"
#include "support/progress.h"
#include "support/result.h"

namespace velquor::phonecheck {

// What a site check is asked.
struct SiteRequest {
    std::string sheet;
    int column = 1;  // the device sheet's MAC column from row 2 on; 0: a MAC file's cells
    mac::Form form = mac::kDefaultForm;
    mac::FileNamePattern pattern;
    std::string outputFolder;        // Generate's output: the plain files, en/ the encrypted
    std::optional<std::string> key;  // the phones' key: the served file must decrypt with it
    std::string fetchLog;            // the phone server's fetch log; empty: none
    // The server's settings (the fetches' time-outs), and the user logged in to it, whose
    // registrations are asked (the server knows the login); none: not logged in.
    provisioning::KestoEndpoint endpoint;
    std::optional<std::string> user;
    std::string caFile;  // the CA certificates an https server text is checked against
    std::size_t inFlight = kDefaultFetchesInFlight;
};

// The sheet's phones and what the fetch log saw them do: read before any login, so that a
// wrong file costs nothing.
struct SiteSource {
    SheetPhones sheet;
    std::vector<serve::PhoneStatus> fetches;  // the site's phones first, in the sheet's order
};
support::Result<SiteSource> readSite(const SiteRequest& request, std::stop_token stop = {});

struct SiteCounts {
    std::size_t rows = 0;  // phones and refused rows
    // Ready with nothing left to do: a phone whose file is served right but that kestod's
    // answer and the fetch log show going astray is among the problems.
    std::size_t ready = 0;
    std::size_t problems = 0;  // refused rows among them
    std::size_t refusedRows = 0;
};

SiteCounts countsOf(const std::vector<PhoneCheck>& rows);

struct SiteCheck {
    std::vector<PhoneCheck> rows;  // in the sheet's order
    SiteCounts counts() const { return countsOf(rows); }
    bool allReady() const { return counts().ready == rows.size(); }
};

// The check of source's phones (see the top of this file). progress counts MACs asked, then
// fetches.
support::Result<SiteCheck> checkSite(const SiteRequest& request, const SiteSource& source,
                                     support::ProgressSink& progress, std::stop_token stop = {});

// "300 phones: 298 ready, 2 with a problem", and ", 2 rows of the sheet refused" when some
// are.
std::string siteSummaryText(const SiteCounts& counts);

}  // namespace velquor::phonecheck
