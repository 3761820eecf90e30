// The site check; see site_check.h.
#include "phonecheck/site_check.h"

#include <algorithm>

#include "serve/log/fetch_log_reader.h"
#include "sheet/cell_name.h"

namespace velquor::phonecheck {
namespace {

using support::Phrase;

// The site's phones as the fetch log saw them, every one of them kept whatever its state.
support::Result<std::vector<serve::PhoneStatus>> fetchesOf(const std::string& log,
                                                           const std::vector<Phone>& phones) {
    std::vector<std::string> site;
    site.reserve(phones.size());
    for (const Phone& phone : phones) site.push_back(phone.mac);
    serve::SiteStatus status(site);
    auto read = serve::readFetchLog(log, [&](const serve::FetchRecord& record) {
        if (status.inSite(record.mac)) status.apply(record);
    });
    if (!read) return read.error();
    return status.phones();
}

PhoneCheck refusedRowCheck(const RefusedRow& refused) {
    PhoneCheck check;
    check.phone.row = refused.row;
    check.phone.column = refused.column;
    check.phone.cell = refused.cell;
    //: %1 is a cell of the sheet (A7)
    Phrase action{VELQUOR_TR_NOOP("core", "correct cell %1 of the sheet and generate again"),
                  {sheet::cellName(refused.row, refused.column)}};
    check.checked = Finding{Verdict::RowRefused, refused.reason, action};
    check.verdict = Verdict::RowRefused;
    check.reason = refused.reason;
    check.action = std::move(action);
    return check;
}

}  // namespace

support::Result<SiteSource> readSite(const SiteRequest& request, std::stop_token stop) {
    auto sheet = phonesOfSheet(request.sheet, request.column, request.form, request.pattern, stop);
    if (!sheet) return sheet.error();
    SiteSource source;
    source.sheet = std::move(*sheet);
    if (!request.fetchLog.empty()) {
        auto fetches = fetchesOf(request.fetchLog, source.sheet.phones);
        if (!fetches) return fetches.error();
        source.fetches = std::move(*fetches);
    }
    return source;
}

support::Result<SiteCheck> checkSite(const SiteRequest& request, const SiteSource& source,
                                     support::ProgressSink& progress, std::stop_token stop) {
    SiteCheckInput input{source.sheet.phones, request.outputFolder, request.key, std::nullopt,
                         fetchOptionsFor(request.endpoint)};
    input.fetch.inFlight = request.inFlight;
    input.fetch.caFile = request.caFile;
    if (request.user) {
        auto registered =
            registrationsOf(request.endpoint, *request.user, source.sheet.phones, progress, stop);
        if (!registered) return registered.error();
        input.registrations = std::move(*registered);
    }
    SiteCheck site;
    site.rows = checkPhones(input, progress, stop);
    addFetches(site.rows, source.fetches);
    for (const RefusedRow& refused : source.sheet.refused)
        site.rows.push_back(refusedRowCheck(refused));
    std::stable_sort(
        site.rows.begin(), site.rows.end(),
        [](const PhoneCheck& a, const PhoneCheck& b) { return a.phone.row < b.phone.row; });
    return site;
}

SiteCounts countsOf(const std::vector<PhoneCheck>& rows) {
    SiteCounts counts;
    counts.rows = rows.size();
    for (const PhoneCheck& row : rows) {
        if (row.verdict == Verdict::Ready && row.action.empty()) ++counts.ready;
        if (row.verdict == Verdict::RowRefused) ++counts.refusedRows;
    }
    counts.problems = counts.rows - counts.ready;
    return counts;
}

std::string siteSummaryText(const SiteCounts& counts) {
    std::string text = std::to_string(counts.rows) + (counts.rows == 1 ? " phone: " : " phones: ") +
                       std::to_string(counts.ready) + " ready, " + std::to_string(counts.problems) +
                       " with a problem";
    if (counts.refusedRows > 0) {
        text +=
            ", " + std::to_string(counts.refusedRows) +
            (counts.refusedRows == 1 ? " row of the sheet refused" : " rows of the sheet refused");
    }
    return text;
}

}  // namespace velquor::phonecheck
