// velquor-cli generate: one configuration file per device row of a sheet, from a template,
// with encrypted copies in DIR/en when a key is given.
#include <filesystem>
#include <iostream>
#include <span>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "generator/outputs/check_sums.h"
#include "generator/outputs/existing_outputs.h"
#include "generator/run/generation_job.h"
#include "generator/run/generation_report.h"
#include "report/report_file.h"
#include "settings/kesto_settings.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"
#include "support/wording.h"

namespace velquor::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "generate";

// The output folder may not exist yet: then only its spelling can tell.
fs::path spelledFolder(const fs::path& folder, std::error_code& error) {
    fs::path absolute = fs::weakly_canonical(fs::absolute(folder, error), error);
    // "out/" and "out" name one folder.
    if (absolute.has_parent_path() && absolute.filename().empty()) {
        absolute = absolute.parent_path();
    }
    return absolute;
}

bool isSameFolder(const fs::path& a, const fs::path& b) {
    std::error_code error;
    const fs::path left = spelledFolder(a, error);
    const fs::path right = error ? fs::path() : spelledFolder(b, error);
    return support::isSameFile(a, b) || (!error && left == right);
}

bool isFolderWithin(const fs::path& path, const fs::path& folder) {
    const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    return isSameFolder(parent, folder) || isSameFolder(parent, folder / "en");
}

// A device file's name, or one that ends as they do ("x.xml" beside "001A2B3C4D5E.xml").
bool mayNameDeviceFile(const mac::FileNamePattern& pattern, const std::string& name) {
    return pattern.deviceOf(name) ||
           (!pattern.suffix().empty() && name.ends_with(pattern.suffix()));
}

// The report is written after the run, over whatever has its name: it must not be one of the
// run's inputs, nor a name a device file may take in the output folder or its "en".
support::Status refuseReportPath(const generator::GenerationRequest& request,
                                 const std::string& reportPath) {
    for (auto [input, role] : {std::pair{&request.sheetPath, "the device sheet"},
                               std::pair{&request.templatePath, "the template"}}) {
        if (support::isSameFile(*input, reportPath)) {
            return support::makeError(support::ErrorCode::SameFile,
                                      "the report " + reportPath + " is " + role + " " + *input +
                                          "; choose another report file");
        }
    }
    const fs::path report(reportPath);
    if (report.filename() == generator::kCheckSumsFileName &&
        isFolderWithin(report, request.outputFolder)) {
        return support::makeError(support::ErrorCode::SameFile,
                                  "the report " + reportPath + " would take the place of the " +
                                      "MD5SUMS list of " + request.outputFolder +
                                      "; choose another report file");
    }
    if (mayNameDeviceFile(request.fileName, report.filename().string()) &&
        isFolderWithin(report, request.outputFolder)) {
        return support::makeError(support::ErrorCode::SameFile,
                                  "the report " + reportPath +
                                      " would take the place of a device file in " +
                                      request.outputFolder + "; choose another report file");
    }
    return {};
}

// Files this run will replace, and copies it will leave stale, are said before the run: the
// window asks, a script gets a warning it can log.
void warnAboutExistingOutputs(const generator::GenerationRequest& request) {
    std::error_code error;
    if (fs::is_empty(request.outputFolder, error) || error) return;
    auto existing = generator::findExistingOutputs(request, interruptToken());
    if (!existing || !existing->any()) return;
    std::string text = generator::existingOutputsText(*existing);
    if (!existing->staleTwins.empty() && !request.removeStaleTwins) {
        text += " Those under another name stay; --stale remove removes them.";
    }
    printError("warning: " + text);
}

// The files under another name the run removed, and those it was asked to but could not:
// false for those, which leave the folder with two files for a phone.
bool tellStaleTwins(const generator::GenerationRequest& request,
                    const generator::GenerationReport& report) {
    if (report.staleTwinsRemoved > 0) {
        printError(support::plural(report.staleTwinsRemoved, "file", "files") +
                   " of these phones under another name removed.");
    }
    if (!request.removeStaleTwins || report.staleTwinsLeft == 0) return true;
    const std::string why = report.staleTwinError.empty()
                                ? std::string(" (the new files may not be on disk)")
                                : ": " + report.staleTwinError;
    printError("error: " + support::plural(report.staleTwinsLeft, "file", "files") +
               " of these phones under another name could not be removed" + why);
    return false;
}

// How the files are named: --mac-form and --file-name, else the [devices] settings of
// velquor.conf, else plain and {mac}.xml.
support::Status takeNaming(const support::ArgParser& parser,
                           generator::GenerationRequest& request) {
    settings::KestoValues given;
    const auto usage = [](const char* option, const support::Error& error) {
        return support::makeError(support::ErrorCode::Usage,
                                  std::string(option) + ": " + error.message);
    };
    if (const auto option = parser.value("--mac-form")) {
        auto form = settings::parseMacForm(*option);
        if (!form) return usage("--mac-form", form.error());
        given.macForm = *form;
    }
    if (const auto option = parser.value("--file-name")) {
        auto pattern = settings::parseFileName(*option);
        if (!pattern) return usage("--file-name", pattern.error());
        given.fileName = *pattern;
    }
    auto loaded = settings::loadSettings(given);
    if (!loaded) return loaded.error();
    request.macForm = loaded->effective.macForm.value;
    request.fileName = loaded->effective.fileName.value;
    return {};
}

int runGenerate(const std::vector<std::string>& args) {
    support::ArgParser parser(withKeyOptions({"--template", "--sheet", "--out", "--report",
                                              "--mac-form", "--file-name", "--stale"}),
                              {"--dry-run", "--check", "--help"},
                              {{"-t", "--template"}, {"-s", "--sheet"}, {"-o", "--out"}});
    if (auto parsed = parser.parse(args); !parsed) return usageError(kName, parsed.error().message);
    if (parser.has("--help")) {
        std::cout << "usage: velquor-cli " << CommandRegistry::instance().find(kName)->usage
                  << '\n';
        return kExitOk;
    }
    if (!parser.positionals().empty()) {
        return usageError(kName, "unexpected argument " + parser.positionals().front());
    }
    generator::GenerationRequest request;
    if (auto naming = takeNaming(parser, request); !naming) {
        return naming.error().code == support::ErrorCode::Usage
                   ? usageError(kName, naming.error().message)
                   : failWith(naming.error());
    }
    const bool checkOnly = parser.has("--check");
    for (auto [option, field] :
         {std::pair{"--template", &request.templatePath}, std::pair{"--sheet", &request.sheetPath},
          std::pair{"--out", &request.outputFolder}}) {
        // The check needs the sheet; with a template it checks the fields too.
        if (checkOnly && option == std::string_view("--out")) continue;
        if (checkOnly && option == std::string_view("--template") && !parser.value(option)) {
            continue;
        }
        const auto value = parser.value(option);
        if (!value || value->empty()) return usageError(kName, std::string(option) + " is needed");
        *field = *value;
    }
    if (keyGiven(parser)) {
        auto key = keyFromOptions(parser);
        if (!key) return keyFailure(kName, key.error());
        warnAboutKey(*key);
        request.encrypt = true;
        request.keyText = *key;
    }
    if (const auto stale = parser.value("--stale")) {
        if (*stale != "remove" && *stale != "keep") {
            return usageError(kName, "--stale: '" + *stale + "' is not one of remove, keep");
        }
        request.removeStaleTwins = *stale == "remove";
    }
    request.dryRun = parser.has("--dry-run");
    if (const auto reportPath = parser.value("--report")) {
        if (auto fit = refuseReportPath(request, *reportPath); !fit) return failWith(fit.error());
    }
    if (!request.dryRun && !checkOnly) warnAboutExistingOutputs(request);

    support::Result<generator::GenerationReport> report = [&] {
        if (checkOnly) return generator::checkDeviceSheet(request, interruptToken());
        TerminalProgress progress;
        // Names in both cases are said before the first file, while the run can be stopped.
        request.beforeWriting = [](const generator::GenerationReport& checked) {
            if (checked.mixedCase && !checked.dryRun) {
                printError("warning: " + generator::mixedCasePhrase(checked).english());
            }
        };
        return generator::runGeneration(request, progress, interruptToken());
    }();
    if (!report) return failWith(report.error());
    if (checkOnly && !report->columns.empty()) {
        std::cout << generator::columnMappingText(report->columns) << '\n';
    }

    if (const auto reportPath = parser.value("--report")) {
        auto written =
            velquor::report::writeReport(*reportPath, generator::generationReportTable(*report));
        if (!written) {
            printError("cannot write the report: " + written.error().message);
            return kExitFailure;
        }
    }
    const int settled = tellStaleTwins(request, *report) ? kExitOk : kExitFailure;
    const std::string summary =
        generator::generationSummaryText(*report, parser.value("--report").has_value());
    if (report->allWritten()) {
        std::cout << summary << '\n';
        // "Success !" alone would hide the rows that were no devices or lack values; a longer
        // summary (a check's) holds them already.
        if (summary != "Success !") return settled;
        if (report->emptyRows > 0) printError(generator::emptyRowsText(report->emptyRows));
        if (const std::string empty = generator::emptyValuesText(*report); !empty.empty()) {
            printError("warning: " + empty);
        }
        if (report->checkSumsLinesDropped > 0) {
            printError(generator::checkSumsDroppedText(*report));
        }
        return settled;
    }
    std::cerr << summary << '\n';
    return batchExitStatus(false, report->cancelled);
}

}  // namespace

VELQUOR_REGISTER_COMMAND(
    kName,
    "generate -t|--template T -s|--sheet S -o|--out DIR\n"
    "                   [--key-file F | --key-env NAME | --key TEXT | --key-hex HEX]\n"
    "                   [--mac-form plain|lower|upper|as-written] [--file-name PATTERN]\n"
    "                   [--stale remove|keep] [--dry-run | --check]\n"
    "                   [--report FILE.csv|FILE.xlsx]\n"
    "  One XML configuration file per device row of sheet S (.xlsx or .csv), made from\n"
    "  template T and written as DIR/<MAC>.xml.\n"
    "\n"
    "  Sheet: row 1 is a header. Columns A-G: MAC, display name, user id, auth id,\n"
    "  password, proxy, SIP port. From H on, a header names a template field: an\n"
    "  element path (Ext2/SubscriberInformation/UserID, Ext2/@Enable), a {{Name}}\n"
    "  placeholder's name, or 'template' (the row's template, relative to T's folder).\n"
    "\n"
    "  Names: --mac-form (default: [devices] mac-form of velquor.conf, else plain: the\n"
    "  12 digits as the cell has them) writes the MAC; --file-name (default: [devices]\n"
    "  file-name, else {mac}.xml) names the file, e.g. cfg{mac}.cfg.\n"
    "\n"
    "  Checks: every MAC is checked first; a cell that is not a MAC address is refused,\n"
    "  a repeated MAC (in any spelling) is written once, from its last row. --check\n"
    "  checks S's MAC column and, with -t, every template the rows use and the cells\n"
    "  their fields take (what each column fills and where, empty cells, columns that\n"
    "  fill nothing, rows of a phone that differ), and writes nothing (-o not needed;\n"
    "  exit status 0 when every row can be used). --dry-run checks everything and\n"
    "  writes nothing.\n"
    "\n"
    "  Key: with one, an encrypted copy of each file goes to DIR/en (only the key's\n"
    "  first 16 bytes are used; an empty key is the all-zero key; both are warned\n"
    "  about).\n"
    "\n"
    "  Files already there: those the run will replace (an MD5SUMS list among them),\n"
    "  and encrypted copies an earlier run left in DIR/en, are warned about first, as\n"
    "  are files of the same phones under another name, made from the run's templates\n"
    "  (by their document element): another spelling or case of the MAC in the run's\n"
    "  file name, or letters and digits, the MAC (12 digits, or pairs joined by : or -)\n"
    "  and .xml, .cfg, .cnf, .conf or .cnf.xml (cfg<MAC>.cfg, <MAC>.xml), with their\n"
    "  encrypted copies in DIR/en (told by the key, or as the size of such a plain file\n"
    "  beside DIR/en). --stale remove removes them once the new files are on disk\n"
    "  (default keep): only in DIR itself and in a DIR/en that is no link.\n"
    "\n"
    "  MD5SUMS: each folder written (DIR, and DIR/en with a key) keeps an MD5SUMS\n"
    "  list that md5sum -c reads: this run's lines replaced, the lines of other files\n"
    "  kept (a firmware's sums, an earlier batch's), a line whose file is gone dropped\n"
    "  and counted.\n"
    "\n"
    "  --report writes one line per device, as CSV or, for a name ending in .xlsx, as\n"
    "  a workbook of text cells (not over an input, a device file or MD5SUMS). Rows\n"
    "  written with empty values are warned about after. Exit status 0 only when every\n"
    "  device was written (1 when a row was refused, or a file --stale remove names\n"
    "  could not be removed).",
    "one configuration file per device from a template and a sheet", runGenerate);

}  // namespace velquor::cli
