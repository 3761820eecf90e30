// The site table as a report: one row per phone of the sheet, for the CLI's output and
// --report and for the window's Save (the customer's acceptance record).
#pragma once

#include <vector>

#include "phonecheck/phone_check.h"
#include "report/report_table.h"

namespace velquor::phonecheck {

// row, mac, file, md5, registered, server, url, verdict, fetched, action
report::ReportTable siteReport(const std::vector<PhoneCheck>& checks);

// "registered", "not registered", "another account", or "not asked" without a login.
std::string_view registrationName(const PhoneCheck& check);

}  // namespace velquor::phonecheck
