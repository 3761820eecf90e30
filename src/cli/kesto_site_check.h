// velquor-cli kesto device check FILE --out DIR: the phone's-eye check of every phone of FILE
// (a MAC file, or Generate's device sheet with --column A) against the files Generate wrote in
// DIR, one row per phone.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mac/mac_address.h"
#include "phonecheck/site_check.h"
#include "support/arg_parser.h"
#include "support/result.h"

namespace velquor::provisioning {
struct KestoEndpoint;
}  // namespace velquor::provisioning

namespace velquor::cli {

// What the check is asked (but the login's endpoint and user), and the sheet and fetch log
// read for it.
struct SiteCheckSource {
    phonecheck::SiteRequest request;
    phonecheck::SiteSource read;
};

// Read before the login, so that a wrong file or key costs nothing.
support::Result<SiteCheckSource> readSiteCheckSource(const support::ArgParser& args, int column,
                                                     mac::Form form,
                                                     const mac::FileNamePattern& pattern);

// Each phone's registration, then its file fetched as the phone will; the table on standard
// output (or --csv), --report as CSV or .xlsx. Exit 0 only when every phone is ready.
int runSiteCheck(const support::ArgParser& args, const provisioning::KestoEndpoint& endpoint,
                 const std::string& user, std::size_t jobs, const SiteCheckSource& source);

}  // namespace velquor::cli
