// The device commands of velquor-cli kesto; see kesto_devices.h.
#include "cli/kesto_devices.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "cli/kesto_inventory.h"
#include "mac/mac_check.h"
#include "provisioning/mac_file.h"
#include "report/report_file.h"
#include "sheet/cell_name.h"
#include "support/exit_status.h"
#include "support/file_identity.h"
#include "support/hex.h"
#include "support/wording.h"

namespace velquor::cli {
namespace {

using provisioning::DeviceOperation;
using provisioning::MacOutcome;
using support::ErrorCode;
using support::makeError;

// The terminal, for questions that must not come from redirected input.
class Terminal {
public:
    Terminal() : m_file(std::fopen("/dev/tty", "r+")) {}
    ~Terminal() {
        if (m_file) std::fclose(m_file);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool available() const { return m_file != nullptr; }

    std::optional<std::string> ask(std::string_view prompt) {
        if (!m_file) return std::nullopt;
        std::fputs(std::string(prompt).c_str(), m_file);
        std::fflush(m_file);
        std::string line;
        int c = 0;
        while ((c = std::fgetc(m_file)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty()) return std::nullopt;
        return line;
    }

private:
    std::FILE* m_file;
};

// Asks on the terminal, where the GUI shows Yes / No / Yes to All / No to All.
class TerminalReplaceQuestion {
public:
    provisioning::ReplaceAnswer operator()(const std::string&, const std::string& question,
                                           const std::string& registeredTo) {
        const std::string now =
            registeredTo.empty() ? std::string() : " (registered with " + registeredTo + ")";
        for (;;) {
            auto answer = m_terminal->ask(question + now + " [y]es, [n]o, [a]ll, n[o]ne: ");
            if (!answer) return provisioning::ReplaceAnswer::NoToAll;
            if (*answer == "y" || *answer == "yes") return provisioning::ReplaceAnswer::Yes;
            if (*answer == "n" || *answer == "no") return provisioning::ReplaceAnswer::No;
            if (*answer == "a" || *answer == "all") return provisioning::ReplaceAnswer::YesToAll;
            if (*answer == "o" || *answer == "none") {
                return provisioning::ReplaceAnswer::NoToAll;
            }
        }
    }

private:
    std::shared_ptr<Terminal> m_terminal = std::make_shared<Terminal>();
};

provisioning::ReplaceQuestion replaceQuestionFor(const std::string& replace) {
    if (replace == "all") {
        return [](const std::string&, const std::string&, const std::string&) {
            return provisioning::ReplaceAnswer::YesToAll;
        };
    }
    if (replace == "none") {
        return [](const std::string&, const std::string&, const std::string&) {
            return provisioning::ReplaceAnswer::NoToAll;
        };
    }
    return TerminalReplaceQuestion();
}

DeviceOperation deviceCommandOf(const std::vector<std::string>& words) {
    return words[1] == "add" ? DeviceOperation::Add : DeviceOperation::Delete;
}

// Every --mac, each value split as typed text is ("a,b" is two), in order.
provisioning::MacFile typedCells(const support::ArgParser& args) {
    std::string typed;
    for (const auto& value : args.values("--mac")) typed += value + "\n";
    return provisioning::parseTypedMacs(typed);
}

std::optional<std::string> typedMacProblem(const support::ArgParser& args) {
    for (const auto& cell : typedCells(args).cells) {
        if (!mac::canonicalMac(cell.text)) {
            return "--mac " + cell.text + ": " + mac::describe(mac::Reading(cell.text).refusal());
        }
    }
    return std::nullopt;
}

// --column A: the column's number; 0 without the option.
int macColumnOf(const support::ArgParser& args) {
    const auto letters = args.value("--column");
    return letters ? sheet::columnNumber(*letters).value_or(0) : 0;
}

std::optional<std::string> columnProblem(const support::ArgParser& args) {
    const auto letters = args.value("--column");
    if (!letters) return std::nullopt;
    if (!sheet::columnNumber(*letters)) {
        return "--column takes a column's letters (A, B, ... XFD), not '" + *letters + "'";
    }
    if (args.positionals().size() != 3) return std::string("--column needs a FILE to read");
    return std::nullopt;
}

// A file refused as no MAC file may be Generate's device sheet: say how to use its MAC column.
void hintDeviceSheet(const support::ArgParser& args, const support::Error& error, mac::Form form) {
    const auto& words = args.positionals();
    if (error.code != ErrorCode::InvalidInput || args.value("--column") || words.size() != 3) {
        return;
    }
    const std::size_t count = provisioning::deviceSheetMacCount(words[2], form, interruptToken());
    if (count == 0) return;
    printError("column A of " + words[2] + " holds " + std::to_string(count) +
               " MAC addresses after its header row, as a device sheet does: give --column A "
               "to use them");
}

// device list takes nothing more; device check takes a MAC file or --mac.
std::optional<std::string> inventoryCommandProblem(const support::ArgParser& args) {
    const auto& words = args.positionals();
    if (args.has("--check")) return "--check is for device add and del";
    if (words[1] == "list" && args.value("--out")) return "--out is for device check";
    if (words[1] == "list") {
        if (words.size() != 2) return std::string("device list takes no arguments");
        return std::nullopt;
    }
    const bool typed = !args.values("--mac").empty();
    if (words.size() > 3 || (words.size() == 3) == typed) {
        return std::string("device check needs FILE or --mac MAC (repeatable)");
    }
    if (!args.value("--out")) {
        if (keyGiven(args) || args.value("--http-cafile") || args.value("--report") ||
            args.value("--fetch-log") || args.value("--file-name")) {
            return std::string(
                "--key, --http-cafile, --fetch-log, --file-name and --report need --out DIR");
        }
    } else if (typed) {
        return std::string("--out needs FILE");
    }
    return typedMacProblem(args);
}

// add and del take their MAC addresses from one place.
std::optional<std::string> batchSourceProblem(const support::ArgParser& args) {
    const auto& words = args.positionals();
    const std::size_t sources = (words.size() == 3 ? 1 : 0) +
                                (args.values("--mac").empty() ? 0 : 1) +
                                (args.value("--retry") ? 1 : 0);
    if (words.size() > 3 || sources != 1) {
        return "device " + words[1] + " needs one of MACFILE, --mac MAC (repeatable) or --retry " +
               "REPORT";
    }
    if (auto problem = typedMacProblem(args)) return problem;
    const auto report = args.value("--report");
    if (report && words.size() == 3) {
        if (auto same = support::refuseSameFile(words[2], *report); !same) {
            return same.error().message;
        }
    }
    return std::nullopt;
}

std::optional<std::string> batchProblem(const support::ArgParser& args) {
    const auto& words = args.positionals();
    if (auto problem = batchSourceProblem(args)) return problem;
    if (!args.value("--server-field") && !args.has("--check")) {
        return "device needs --server-field TEXT";
    }
    if (args.value("--server-field") && args.value("--server-field")->empty() &&
        !args.has("--allow-empty-server")) {
        return provisioning::serverTextWarning("") + "; give --allow-empty-server to send it";
    }
    const std::string replace = args.value("--replace").value_or("ask");
    if (replace != "ask" && replace != "all" && replace != "none") {
        return "--replace takes ask, all or none";
    }
    if (words[1] == "add" && replace == "ask" && !args.has("--check") && !Terminal().available()) {
        return "--replace ask needs a terminal; give --replace all or none";
    }
    return std::nullopt;
}

// device check FILE: the file's MAC addresses in their canonical forms; the cells that are no
// MAC address are named on stderr and counted.
support::Status readCheckFile(const support::ArgParser& args, DeviceSource& source) {
    provisioning::DeviceBatch batch;
    batch.macFilePath = args.positionals()[2];
    batch.macColumn = macColumnOf(args);
    batch.force = args.has("--force");
    auto checked = provisioning::checkMacFile(DeviceOperation::Add, batch, interruptToken());
    if (!checked) {
        hintDeviceSheet(args, checked.error(), batch.macForm);
        return checked.error();
    }
    for (const provisioning::MacResult& result : checked->results) {
        if (result.outcome == MacOutcome::Usable) {
            source.checkMacs.push_back(*mac::canonicalMac(result.macAddress));
        } else if (result.outcome == MacOutcome::Refused) {
            ++source.refusedCells;
            printError(sheet::cellName(result.row, result.column) + " " +
                       support::escapeNonPrintable(result.macAddress) + ": " + result.reason);
        }
    }
    return {};
}

// The canonical forms of --mac, in order, once each.
std::vector<std::string> canonicalTypedMacs(const support::ArgParser& args) {
    std::vector<std::string> macs;
    for (const auto& cell : typedCells(args).cells) {
        const std::string canonical = *mac::canonicalMac(cell.text);
        if (std::find(macs.begin(), macs.end(), canonical) == macs.end()) {
            macs.push_back(canonical);
        }
    }
    return macs;
}

// The cells a retry would send, for --check alone: a batch never holds them.
support::Result<provisioning::MacFile> retryCells(const provisioning::RetryReport& report,
                                                  mac::Form form) {
    provisioning::MacFile cells;
    cells.firstRowMayBeHeader = false;
    provisioning::MacCellCheck check = provisioning::retryCheck(report, form);
    auto walked = provisioning::walkRetryRows(report, check, [&cells](provisioning::BatchRow row) {
        if (row.line.empty()) {
            cells.cells.push_back(provisioning::MacCell{row.result.row, row.result.column,
                                                        std::move(row.result.macAddress)});
        }
        return support::Status{};
    });
    if (!walked) return walked.error();
    return cells;
}

support::Status readRetry(const support::ArgParser& args, const std::string& path, mac::Form form,
                          DeviceSource& source) {
    const DeviceOperation command = deviceCommandOf(args.positionals());
    auto report = provisioning::readRetryReport(path, form, interruptToken());
    if (!report) return report.error();
    if (report->lines > 0 && report->command != command) {
        const bool deleting = report->command == DeviceOperation::Delete;
        return makeError(ErrorCode::Usage,
                         path + " is a report of device " + (deleting ? "del" : "add") +
                             ": retry it with device " + (deleting ? "del" : "add") + " --retry");
    }
    // The rows a retry cannot change are named, then counted: their lines stay as they are.
    for (const provisioning::MacResult& kept : report->kept) {
        printError(sheet::cellName(kept.row, kept.column) + " " +
                   support::escapeNonPrintable(kept.macAddress) +
                   ": not retried, the server answered it for good (" + kept.reason + ")");
    }
    if (report->keptCount > 0) {
        printError(std::to_string(report->keptCount) +
                   " failed rows are not retried: the server answered them for good, and "
                   "sending them again gets the same answer (their retry cell says no; make it "
                   "yes to send one all the same)");
    }
    if (args.has("--check")) {
        auto cells = retryCells(*report, form);
        if (!cells) return cells.error();
        source.cells = std::move(*cells);
    }
    source.retry = std::move(*report);
    return {};
}

int writeReportOf(const support::ArgParser& args, const DeviceSource& source,
                  const provisioning::DeviceBatchSummary& summary) {
    const auto path = args.value("--report");
    if (!path) return kExitOk;
    // A retry wrote its merged report as it went. Not stopped by the interrupt that may have
    // ended the batch: its rows are reported.
    if (source.retry) return kExitOk;
    const support::Status written = report::writeReport(*path, provisioning::resultsTable(summary));
    return written ? kExitOk : failWith(written.error());
}

// The batch of source's MAC file, or of cells: the source's own, moved in by a batch that sends
// them (a retry of a million rows holds them once).
provisioning::DeviceBatch batchFor(const support::ArgParser& args, const DeviceSource& source,
                                   std::optional<provisioning::MacFile> cells, mac::Form form) {
    provisioning::DeviceBatch batch;
    batch.macFilePath = source.macFilePath;
    batch.cells = std::move(cells);
    batch.macForm = form;
    batch.macColumn = macColumnOf(args);
    batch.force = args.has("--force");
    return batch;
}

// A device sheet read by its MAC column gives each phone whose row fills its server column
// that Server text; the others keep --server-field's.
void takeSheetServers(provisioning::DeviceBatch& batch) {
    if (batch.macColumn == 0 || batch.cells) return;
    provisioning::SheetServers servers =
        provisioning::deviceSheetServers(batch.macFilePath, batch.macColumn, interruptToken());
    if (servers.column == 0) return;
    printError("column " + sheet::columnName(servers.column) + " of " + batch.macFilePath +
               " is headed server: " + std::to_string(servers.byRow.size()) +
               " phones get their own Server text from it, the others --server-field's");
    batch.rowServers = std::move(servers.byRow);
}

}  // namespace

std::optional<std::string> deviceCommandProblem(const support::ArgParser& args) {
    const auto& words = args.positionals();
    if (auto problem = columnProblem(args)) return problem;
    if (words.size() >= 2 && (words[1] == "list" || words[1] == "check")) {
        return inventoryCommandProblem(args);
    }
    if (words.size() < 2 || (words[1] != "add" && words[1] != "del")) {
        return std::string("device needs: add, del, list or check");
    }
    return batchProblem(args);
}

support::Result<DeviceSource> readDeviceSource(const support::ArgParser& args, mac::Form form,
                                               const mac::FileNamePattern& pattern) {
    const auto& words = args.positionals();
    DeviceSource source;
    if (words[1] == "list") return source;
    if (words[1] == "check" && args.value("--out")) {
        auto site = readSiteCheckSource(args, macColumnOf(args), form, pattern);
        if (!site) {
            hintDeviceSheet(args, site.error(), form);
            return site.error();
        }
        source.site = std::move(*site);
        return source;
    }
    if (words[1] == "check") {
        if (words.size() == 3) {
            if (auto read = readCheckFile(args, source); !read) return read.error();
        } else {
            source.checkMacs = canonicalTypedMacs(args);
        }
        return source;
    }
    if (words.size() == 3) {
        source.macFilePath = words[2];
    } else if (const auto retry = args.value("--retry")) {
        if (auto read = readRetry(args, *retry, form, source); !read) {
            return read.error();
        }
    } else {
        source.cells = typedCells(args);
    }
    return source;
}

// The findings of a check, a line per cell that would not be sent as it stands: as a batch names
// its failures, the first few of each kind are named and the rest counted (a sheet of 3,000
// dashed MACs is 3,000 rewrites), each kind's first ones shown wherever they stand in the file.
class CheckFindings {
public:
    void add(const provisioning::MacResult& result) {
        if (result.outcome == MacOutcome::Usable && result.reason.empty()) return;
        Kind& kind = kindOf(result.outcome);
        ++kind.count;
        if (kind.count > provisioning::kMaxFailureMessages) return;
        std::cout << sheet::cellName(result.row, result.column) << " "
                  << support::escapeNonPrintable(result.macAddress) << ": "
                  << provisioning::outcomeName(result.outcome) << " (" << result.reason << ")\n";
    }

    // The kinds cut short, counted, and where every cell is listed.
    void finish(const std::optional<std::string>& reportPath) const {
        bool cut = false;
        for (const Kind& kind : {m_refused, m_skipped, m_rewritten}) {
            if (kind.count <= provisioning::kMaxFailureMessages) continue;
            cut = true;
            std::cout << "... and "
                      << support::plural(kind.count - provisioning::kMaxFailureMessages, kind.one,
                                         kind.many)
                      << "\n";
        }
        if (!cut) return;
        std::cout << (reportPath ? "Every cell is listed in " + *reportPath
                                 : std::string("--report FILE lists every cell"))
                  << ".\n";
    }

    std::size_t rewritten() const { return m_rewritten.count; }

private:
    struct Kind {
        const char* one;
        const char* many;
        std::size_t count = 0;
    };

    Kind& kindOf(MacOutcome outcome) {
        if (outcome == MacOutcome::Refused) return m_refused;
        if (outcome == MacOutcome::Skipped) return m_skipped;
        return m_rewritten;
    }

    Kind m_refused{"more refused cell", "more refused cells"};
    Kind m_skipped{"more skipped cell", "more skipped cells"};
    Kind m_rewritten{"more cell to be written in another form",
                     "more cells to be written in another form"};
};

// The findings, then the counts.
int checkDeviceSource(const support::ArgParser& args, const DeviceSource& source, mac::Form form) {
    const auto& words = args.positionals();
    auto summary = provisioning::checkMacFile(
        deviceCommandOf(words), batchFor(args, source, source.cells, form), interruptToken());
    if (!summary) {
        const int status = failWith(summary.error());
        hintDeviceSheet(args, summary.error(), form);
        return status;
    }
    CheckFindings findings;
    for (const provisioning::MacResult& result : summary->results) findings.add(result);
    findings.finish(args.value("--report"));
    const std::size_t usable = summary->count(MacOutcome::Usable);
    std::cout << usable << " of " << summary->macCells() << " cells can be used";
    if (findings.rewritten() > 0) {
        std::cout << " (" << findings.rewritten() << " to be written in another form)";
    }
    std::cout << "; " << summary->count(MacOutcome::Refused) << " refused, "
              << summary->count(MacOutcome::Skipped) << " skipped.\n";
    if (summary->mixedCase) printError("warning: " + mac::mixedCaseText());
    if (const auto reportPath = args.value("--report")) {
        if (auto written = report::writeReport(*reportPath, provisioning::resultsTable(*summary));
            !written) {
            return failWith(written.error());
        }
    }
    return summary->count(MacOutcome::Refused) == 0 ? kExitOk : kExitFailure;
}

int runDeviceBatch(const support::ArgParser& args, const DeviceSession& session,
                   DeviceSource source) {
    const auto& words = args.positionals();
    const auto server = args.value("--server-field");
    const auto askReplace = replaceQuestionFor(args.value("--replace").value_or("ask"));
    provisioning::DeviceBatch batch =
        batchFor(args, source, std::move(source.cells), session.macForm);
    batch.server = *server;
    batch.userName = session.userName;
    batch.jobs = session.jobs;
    if (words[1] == "add" && !source.retry) takeSheetServers(batch);
    if (const std::string warning = provisioning::serverTextWarning(*server);
        !warning.empty() && !server->empty()) {
        printError("warning: " + warning);
    }
    // A script cannot answer Retry: the batch stops, and the report says what was not sent.
    const provisioning::ServerSilentQuestion stopWhenSilent = [](const std::string& address,
                                                                 const support::Phrase& reason) {
        printError(
            provisioning::formatMessage(provisioning::kesto_text::kServerNotAnswering, address) +
            ": " + reason.english() + "; stopping");
        return false;
    };
    StderrReporter reporter;
    TerminalProgress progress;
    auto summary =
        source.retry ? provisioning::retryReport(session.endpoint, batch, *source.retry,
                                                 args.value("--report").value_or(""), askReplace,
                                                 stopWhenSilent, reporter, progress,
                                                 interruptToken(), session.onLoginEnded)
        : words[1] == "add"
            ? provisioning::addDevices(session.endpoint, batch, askReplace, stopWhenSilent,
                                       reporter, progress, interruptToken(), session.onLoginEnded)
            : provisioning::deleteDevices(session.endpoint, batch, stopWhenSilent, reporter,
                                          progress, interruptToken(), session.onLoginEnded);
    // Already reported: nothing was sent.
    if (!summary) {
        hintDeviceSheet(args, summary.error(), session.macForm);
        return support::exitStatusFor(summary.error().code);
    }
    // The completion text alone hides declined replacements and empty cells; a shell user
    // still gets the counts.
    if (summary->succeeded() && !summary->complete()) {
        std::cerr << provisioning::describeSummary(*summary) << '\n';
    }
    if (const int written = writeReportOf(args, source, *summary); written != kExitOk) {
        return written;
    }
    return batchExitStatus(summary->succeeded(), summary->cancelled);
}

int runInventoryCommand(const support::ArgParser& args, const DeviceSession& session,
                        const DeviceSource& source) {
    const auto csv = args.value("--csv");
    if (source.site) {
        return runSiteCheck(args, session.endpoint, session.userName, session.jobs, *source.site);
    }
    if (args.positionals()[1] == "list") {
        return listDevicesCommand(session.endpoint, session.userName, csv);
    }
    const int status =
        checkDevicesCommand(session.endpoint, session.userName, source.checkMacs, csv);
    return status == kExitOk && source.refusedCells > 0 ? kExitFailure : status;
}

}  // namespace velquor::cli
