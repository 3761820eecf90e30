// The site table as a report; see site_report.h.
#include "phonecheck/site_report.h"

#include <string>

#include "wire/server_text.h"

namespace velquor::phonecheck {

std::string_view registrationName(const PhoneCheck& check) {
    if (check.phone.mac.empty()) return "";
    if (!check.registration) return "not asked";
    return provisioning::checkOutcomeName(*check.registration);
}

report::ReportTable siteReport(const std::vector<PhoneCheck>& checks) {
    report::ReportTable table;
    table.header = {"row", "mac",     "file",    "md5",    "registered", "server",
                    "url", "verdict", "fetched", "action", "detail",     "asked"};
    table.rows.reserve(checks.size());
    for (const PhoneCheck& check : checks) {
        table.rows.push_back(
            {std::to_string(check.phone.row), check.phone.cell, check.servedFile, check.md5,
             std::string(registrationName(check)), wire::maskedServerText(check.serverText),
             wire::maskedServerText(check.url), check.reason.english(), check.fetchedBy.english(),
             check.action.english(), check.detail, check.asked});
    }
    return table;
}

}  // namespace velquor::phonecheck
