// The listing commands of velquor-cli kesto; see kesto_inventory.h.
#include "cli/kesto_inventory.h"

#include <algorithm>
#include <iostream>

#include "cli/cli_support.h"
#include "provisioning/device_inventory.h"
#include "provisioning/provisioning_channel.h"
#include "report/csv_writer.h"
#include "report/report_file.h"
#include "support/exit_status.h"

namespace velquor::cli {

int printTable(const report::ReportTable& table, const std::optional<std::string>& csvPath) {
    if (csvPath && *csvPath == "-") {
        std::cout << report::csvText(table);
        return support::kExitOk;
    }
    if (csvPath) {
        if (auto written = report::writeReport(*csvPath, table); !written) {
            return failWith(written.error());
        }
        return support::kExitOk;
    }
    std::vector<std::size_t> widths(table.header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    };
    measure(table.header);
    for (const auto& row : table.rows) measure(row);
    auto print = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::cout << line << '\n';
    };
    print(table.header);
    for (const auto& row : table.rows) print(row);
    return support::kExitOk;
}

int listDevicesCommand(const provisioning::KestoEndpoint& endpoint, const std::string& user,
                       const std::optional<std::string>& csvPath) {
    TerminalProgress progress;
    auto devices =
        provisioning::listDevices(provisioning::channelFetchers(endpoint, interruptToken()),
                                  {user, ""}, progress, interruptToken());
    if (!devices) return failWith(devices.error());
    return printTable(provisioning::listingReport(*devices), csvPath);
}

int checkDevicesCommand(const provisioning::KestoEndpoint& endpoint, const std::string& user,
                        const std::vector<std::string>& macs,
                        const std::optional<std::string>& csvPath) {
    TerminalProgress progress;
    auto checked =
        provisioning::checkDevices(provisioning::channelFetchers(endpoint, interruptToken()), user,
                                   macs, progress, interruptToken());
    if (!checked) return failWith(checked.error());
    const bool allMine = std::all_of(checked->begin(), checked->end(), [](const auto& device) {
        return device.outcome == provisioning::CheckOutcome::Registered;
    });
    if (const int status = printTable(provisioning::checkReport(*checked), csvPath);
        status != support::kExitOk) {
        return status;
    }
    return allMine ? support::kExitOk : support::kExitFailure;
}

}  // namespace velquor::cli
