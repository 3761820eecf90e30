// velquor-cli generate: one configuration file per device row of a sheet, from a template,
// with encrypted copies in DIR/en when a key is given.
#include <iostream>
#include <span>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "generator/generation_job.h"
#include "generator/report_csv.h"
#include "support/atomic_file.h"

namespace velquor::cli {
namespace {

constexpr const char* kName = "generate";

int runGenerate(const std::vector<std::string>& args) {
    support::ArgParser parser({"--template", "--sheet", "--out", "--key", "--key-hex", "--report"},
                              {"--dry-run", "--help"},
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
    for (auto [option, field] :
         {std::pair{"--template", &request.templatePath}, std::pair{"--sheet", &request.sheetPath},
          std::pair{"--out", &request.outputFolder}}) {
        const auto value = parser.value(option);
        if (!value || value->empty()) return usageError(kName, std::string(option) + " is needed");
        *field = *value;
    }
    if (parser.has("--key") || parser.has("--key-hex")) {
        auto key = keyFromOptions(parser);
        if (!key) return usageError(kName, key.error().message);
        request.encrypt = true;
        request.keyText = *key;
    }
    request.dryRun = parser.has("--dry-run");

    support::Result<generator::GenerationReport> report = [&] {
        TerminalProgress progress;
        return generator::RunGeneration(request, progress, interruptToken());
    }();
    if (!report) return failWith(report.error());

    if (const auto reportPath = parser.value("--report")) {
        const std::string csv = generator::GenerationReportCsv(*report);
        auto written = support::writeFileAtomically(
            *reportPath, std::as_bytes(std::span<const char>(csv.data(), csv.size())));
        if (!written) {
            printError("cannot write the report: " + written.error().message);
            return kExitFailure;
        }
    }
    const std::string summary =
        generator::GenerationSummaryText(*report, parser.value("--report").has_value());
    if (report->allWritten()) {
        std::cout << summary << '\n';
        // "Success !" alone would hide the rows that were no devices.
        if (report->emptyRows > 0) printError(generator::emptyRowsText(report->emptyRows));
        return kExitOk;
    }
    std::cerr << summary << '\n';
    return batchExitStatus(false, report->cancelled);
}

}  // namespace

VELQUOR_REGISTER_COMMAND(
    kName,
    "generate --template T --sheet S --out DIR [--key TEXT | --key-hex HEX] [--dry-run]\n"
    "                   [--report FILE.csv]\n"
    "  One XML configuration file per device row of sheet S (.xlsx or .csv; row 1 is a\n"
    "  header; columns: MAC, display name, user id, auth id, password, proxy, SIP port),\n"
    "  made from template T and written as DIR/<MAC>.xml. With a key, an encrypted copy of\n"
    "  each goes to DIR/en/<MAC>.xml. --dry-run checks everything and writes nothing;\n"
    "  --report writes one CSV line per device. Exit status 0 only when every device was\n"
    "  written.",
    "one configuration file per device from a template and a sheet", runGenerate);

}  // namespace velquor::cli
