// The phone's-eye check from the command line; see kesto_site_check.h.
#include "cli/kesto_site_check.h"

#include <algorithm>
#include <iostream>

#include "cli/cli_support.h"
#include "cli/kesto_inventory.h"
#include "phonecheck/site_report.h"
#include "provisioning/device_inventory.h"
#include "provisioning/provisioning_channel.h"
#include "report/report_file.h"
#include "settings/kesto_settings.h"
#include "support/exit_status.h"

namespace velquor::cli {
namespace {

// --jobs takes 1 to settings::kMaxJobs: the default must be one of them.
static_assert(phonecheck::kDefaultFetchesInFlight <= settings::kMaxJobs);

phonecheck::FetchOptions fetchOptions(const support::ArgParser& args,
                                      const provisioning::KestoEndpoint& endpoint,
                                      std::size_t jobs) {
    phonecheck::FetchOptions options = phonecheck::fetchOptionsFor(endpoint);
    if (args.value("--jobs")) options.inFlight = jobs;
    options.caFile = args.value("--http-cafile").value_or("");
    return options;
}

void printCounts(const std::vector<phonecheck::PhoneCheck>& checks) {
    const auto ready = static_cast<std::size_t>(
        std::count_if(checks.begin(), checks.end(), [](const phonecheck::PhoneCheck& check) {
            return check.verdict == phonecheck::Verdict::Ready;
        }));
    std::cerr << checks.size() << (checks.size() == 1 ? " phone: " : " phones: ") << ready
              << " ready, " << checks.size() - ready << " with a problem\n";
}

}  // namespace

support::Result<SiteCheckSource> readSiteCheckSource(const support::ArgParser& args, int column,
                                                     mac::Form form,
                                                     const mac::FileNamePattern& pattern) {
    SiteCheckSource source;
    if (keyGiven(args)) {
        auto key = keyFromOptions(args);
        if (!key) return key.error();
        source.key = std::move(*key);
    }
    if (const auto log = args.value("--fetch-log")) {
        auto phones = serve::phonesOfFetchLog(*log);
        if (!phones) return phones.error();
        source.fetches = std::move(*phones);
    }
    auto sheet =
        phonecheck::phonesOfSheet(args.positionals()[2], column, form, pattern, interruptToken());
    if (!sheet) return sheet.error();
    for (const std::string& refused : sheet->refused) printError(refused);
    source.sheet = std::move(*sheet);
    return source;
}

int runSiteCheck(const support::ArgParser& args, const provisioning::KestoEndpoint& endpoint,
                 const std::string& user, std::size_t jobs, const SiteCheckSource& source) {
    TerminalProgress progress;
    auto registered = phonecheck::registrationsOf(endpoint, user, source.sheet.phones, progress,
                                                  interruptToken());
    if (!registered) return failWith(registered.error());
    const phonecheck::SiteCheckInput input{source.sheet.phones, *args.value("--out"), source.key,
                                           std::move(*registered),
                                           fetchOptions(args, endpoint, jobs)};
    auto checks = phonecheck::checkSite(input, progress, interruptToken());
    phonecheck::addFetches(checks, source.fetches);
    if (interruptToken().stop_requested()) return support::kExitInterrupted;
    const report::ReportTable table = phonecheck::siteReport(checks);
    if (const int status = printTable(table, args.value("--csv")); status != support::kExitOk) {
        return status;
    }
    if (const auto path = args.value("--report")) {
        if (auto written = report::writeReport(*path, table); !written) {
            return failWith(written.error());
        }
    }
    printCounts(checks);
    const bool allReady =
        std::all_of(checks.begin(), checks.end(), [](const phonecheck::PhoneCheck& check) {
            return check.verdict == phonecheck::Verdict::Ready;
        });
    return allReady && source.sheet.refused.empty() ? support::kExitOk : support::kExitFailure;
}

}  // namespace velquor::cli
