// The site table as a report: one row per phone of the sheet, for the CLI's output and
// --report and for the window's Save (the customer's acceptance record).
#pragma once

#include <vector>

#include "phonecheck/phone_check.h"
#include "report/report_table.h"

namespace velquor::phonecheck {

// row, mac, file, md5, registered, server, url, verdict, fetched, action, detail: one row per
// row of the sheet, a refused one with its reason as the verdict.
report::ReportTable siteReport(const std::vector<PhoneCheck>& checks);

// "registered", "not registered", "another account", or "not asked" without a login; empty
// for a refused row, which names no phone to ask about.
std::string_view registrationName(const PhoneCheck& check);

}  // namespace velquor::phonecheck
