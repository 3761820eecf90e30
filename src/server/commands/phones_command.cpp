// 'kestod phones': the phones' CAs of a folder, listed or replaced. A running kestod takes new
// ones at its next SIGHUP; one that served no phones' port opens it at its next start.
#include <iostream>

#include "server/commands/command_line.h"
#include "server/commands/sub_commands.h"
#include "server/tls/phone_cas.h"
#include "support/exit_status.h"

namespace velquor::server {

int runPhonesCommand(const std::vector<std::string>& args) {
    auto options = parsePhonesOptions(args);
    if (!options) return reportFailure(options.error());
    const ServerFiles files = serverFilesIn(options->folder);
    if (!std::filesystem::is_directory(options->folder)) {
        return reportFailure(support::makeError(
            support::ErrorCode::NotFound,
            "no server folder at " + options->folder.string() + " (run 'kestod init' first)"));
    }
    if (!options->cas.empty()) {
        if (auto kept = keepPhoneCas(files, options->cas); !kept) {
            return reportFailure(kept.error());
        }
    }
    auto subjects = phoneCaSubjects(files);
    if (!subjects) return reportFailure(subjects.error());
    if (subjects->empty()) {
        std::cout << "kestod: no phones' CA in " << options->folder.string()
                  << "; the phones' port is not served\n";
        return support::kExitOk;
    }
    for (const auto& subject : *subjects) std::cout << subject << '\n';
    return support::kExitOk;
}

}  // namespace velquor::server
