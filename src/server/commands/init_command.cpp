// 'kestod init': a new server folder, and the one-time display of a generated password.
#include <iostream>

#include "server/commands/command_line.h"
#include "server/commands/initialise_folder.h"
#include "server/commands/sub_commands.h"
#include "server/tls/certificates.h"
#include "support/exit_status.h"

namespace velquor::server {

int runInitCommand(const std::vector<std::string>& args) {
    auto options = parseInitOptions(args);
    if (!options) return reportFailure(options.error());
    auto outcome = initialiseServer(*options);
    if (!outcome) return reportFailure(outcome.error());
    const auto files = serverFilesIn(options->folder, options->caFolder);
    std::cout << "kestod: initialised " << options->folder.string() << " for "
              << joinAddressList(options->addresses) << "; clients need " << files.caCert.string()
              << " as their cacert.pem\n";
    std::cout << "kestod: the CA's key is " << files.caKey.string()
              << "; only init needs it: do not copy it with the folder to other instances\n";
    if (!outcome->generatedPassword.empty()) {
        std::cout << "kestod: administrator account 'chief' password (shown only now, keep it): "
                  << outcome->generatedPassword << "\n";
    }
    return support::kExitOk;
}

}  // namespace velquor::server
