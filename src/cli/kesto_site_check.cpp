// The phone's-eye check from the command line; see kesto_site_check.h.
#include "cli/kesto_site_check.h"

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

}  // namespace

support::Result<SiteCheckSource> readSiteCheckSource(const support::ArgParser& args, int column,
                                                     mac::Form form,
                                                     const mac::FileNamePattern& pattern) {
    SiteCheckSource source;
    phonecheck::SiteRequest& request = source.request;
    request.sheet = args.positionals()[2];
    request.column = column;
    request.form = form;
    request.pattern = pattern;
    request.outputFolder = *args.value("--out");
    request.fetchLog = args.value("--fetch-log").value_or("");
    request.caFile = args.value("--http-cafile").value_or("");
    if (keyGiven(args)) {
        auto key = keyFromOptions(args);
        if (!key) return key.error();
        request.key = std::move(*key);
    }
    auto read = phonecheck::readSite(request, interruptToken());
    if (!read) return read.error();
    source.read = std::move(*read);
    return source;
}

int runSiteCheck(const support::ArgParser& args, const provisioning::KestoEndpoint& endpoint,
                 const std::string& user, std::size_t jobs, const SiteCheckSource& source) {
    phonecheck::SiteRequest request = source.request;
    request.endpoint = endpoint;
    request.user = user;
    if (args.value("--jobs")) request.inFlight = jobs;
    TerminalProgress progress;
    auto site = phonecheck::checkSite(request, source.read, progress, interruptToken());
    if (!site) return failWith(site.error());
    if (interruptToken().stop_requested()) return support::kExitInterrupted;
    const report::ReportTable table = phonecheck::siteReport(site->rows);
    if (const int status = printTable(table, args.value("--csv")); status != support::kExitOk) {
        return status;
    }
    if (const auto path = args.value("--report")) {
        if (auto written = report::writeReport(*path, table); !written) {
            return failWith(written.error());
        }
    }
    std::cerr << phonecheck::siteSummaryText(site->counts()) << '\n';
    return site->allReady() ? support::kExitOk : support::kExitFailure;
}

}  // namespace velquor::cli
