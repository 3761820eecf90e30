// velquor-cli kesto device: the batches (add, del) with their MAC addresses from a MAC file,
// from --mac or from the rows of an earlier --report to retry; --check of those alone; and the
// read-back commands (list, check) once logged in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/kesto_site_check.h"
#include "mac/mac_address.h"
#include "provisioning/batch_cells.h"
#include "provisioning/kesto_operations.h"
#include "support/arg_parser.h"
#include "support/result.h"

namespace velquor::cli {

// What a device command needs once logged in.
struct DeviceSession {
    provisioning::KestoEndpoint endpoint;
    std::string userName;
    std::size_t jobs = provisioning::kDefaultBatchJobs;
    mac::Form macForm = mac::kDefaultForm;
    // A new login when the server no longer knows this one; empty: the batch stops.
    provisioning::LoginEndedQuestion onLoginEnded;
};

// What is wrong with a device command line (its words from "device" on and their options),
// found before the login; nothing when it is fine.
std::optional<std::string> deviceCommandProblem(const support::ArgParser& args);

// Where device add or del takes its MAC addresses (MACFILE, --mac MAC... or --retry REPORT),
// and the MAC addresses device check asks about (FILE or --mac MAC...).
struct DeviceSource {
    std::string macFilePath;                     // MACFILE; empty for the others
    std::optional<provisioning::MacFile> cells;  // --mac, or the rows of --retry to send
    std::optional<provisioning::RetryReport> retry;
    std::vector<std::string> checkMacs;   // device check: canonical, once each, in order
    std::size_t refusedCells = 0;         // device check FILE: cells that are no MAC address
    std::optional<SiteCheckSource> site;  // device check FILE --out DIR
};

// The --mac cells, the --retry report read and found to be one of this command, or the MAC
// file of device check read and checked: before the login, so a wrong file costs nothing.
// form and pattern name the phones' files for device check --out.
support::Result<DeviceSource> readDeviceSource(const support::ArgParser& args, mac::Form form,
                                               const mac::FileNamePattern& pattern);

// device add|del --check: every cell checked, nothing sent, no login needed.
int checkDeviceSource(const support::ArgParser& args, const DeviceSource& source, mac::Form form);

// device add|del: the batch, its summary and --report. The source's cells go to the batch.
int runDeviceBatch(const support::ArgParser& args, const DeviceSession& session,
                   DeviceSource source);

// device list, device check FILE|--mac MAC... and device check FILE --out DIR
int runInventoryCommand(const support::ArgParser& args, const DeviceSession& session,
                        const DeviceSource& source);

}  // namespace velquor::cli
