// velquor-cli kesto device list and device check: what the server holds for the logged-in user,
// as an aligned table for people or as CSV for scripts (--csv FILE, or - for standard output).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velquor::report {
struct ReportTable;
}  // namespace velquor::report

namespace velquor::provisioning {
struct KestoEndpoint;
}  // namespace velquor::provisioning

namespace velquor::cli {

// The table as CSV on standard output (csvPath "-") or in the file named (CSV, or .xlsx by
// its name), else as aligned columns on standard output.
int printTable(const report::ReportTable& table, const std::optional<std::string>& csvPath);

// Every device registered to user: CSV header mac,server,registered. Exit 1 when the listing
// failed (the server does not list devices, the layout broke, no login).
int listDevicesCommand(const provisioning::KestoEndpoint& endpoint, const std::string& user,
                       const std::optional<std::string>& csvPath);

// The outcome of each MAC (canonical forms): CSV header mac,outcome,server. Exit 0 when every
// one is registered to user, 1 otherwise.
int checkDevicesCommand(const provisioning::KestoEndpoint& endpoint, const std::string& user,
                        const std::vector<std::string>& macs,
                        const std::optional<std::string>& csvPath);

}  // namespace velquor::cli
