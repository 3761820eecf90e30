// 'kestod serve': the process around KestoServer — descriptor limit, stop signals, the ready
// line tests and service managers wait for, and the exit status.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "net/descriptor_limit.h"
#include "server/commands/command_line.h"
#include "server/commands/sub_commands.h"
#include "server/serving/kesto_server.h"
#include "server/store/stored_macs.h"
#include "support/exit_status.h"

namespace velquor::server {

namespace {

KestoServer* g_server = nullptr;

// The request log names users and the addresses they work from: a file that standard error
// was sent to is kept from other accounts (group may read it, others nothing), as a service's
// log is. A terminal, a pipe or the journal is left as it is.
void keepLogFromOthers() {
    struct stat status {};
    if (::fstat(STDERR_FILENO, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() || (status.st_mode & 0137) == 0) {
        return;
    }
    ::fchmod(STDERR_FILENO, status.st_mode & 0640);
}

extern "C" void onStopSignal(int) {
    if (g_server != nullptr) g_server->requestStop();
}

extern "C" void onReloadSignal(int) {
    if (g_server != nullptr) g_server->requestReload();
}

// A daemon told to stop has done its job: SIGTERM (the service manager) and SIGINT (Ctrl-C
// beside 'make run') end in a clean stop that finishes in-flight requests, and the process
// exits 0. SIGHUP, as daemons have it (systemctl reload, a rotation of certificates), reads the
// certificate and key again and goes on serving. A client that hangs up while we write must
// not kill the server.
void installSignalHandlers(KestoServer& server) {
    g_server = &server;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    action.sa_handler = onReloadSignal;
    ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

// Opening the store brings it to the current schema; registrations that upgrade could not
// bring under a canonical MAC are said once, so that they are not forgotten.
support::Status noteUnmatchedDevices(const ServeSettings& settings) {
    auto store = openAccountStore(StoreLocation{settings.folder, settings.databaseUrl},
                                  AccountStore::OpenMode::MustExist);
    if (!store) return store.error();
    auto devices = (*store)->listDevices();
    if (!devices) return devices.error();
    const std::string notice = unmatchedDevicesNotice(unmatchedDevices(*devices));
    if (!notice.empty()) std::cerr << "kestod: " << notice << std::endl;
    return {};
}

}  // namespace

int runServeCommand(const std::vector<std::string>& args) {
    auto settings = parseServeSettings(args);
    if (!settings) return reportFailure(settings.error());
    (void)net::raiseDescriptorLimit();
    keepLogFromOthers();
    if (auto noted = noteUnmatchedDevices(*settings); !noted) return reportFailure(noted.error());
    auto server = KestoServer::create(std::move(*settings));
    if (!server) return reportFailure(server.error());
    installSignalHandlers(**server);

    const auto ports = (*server)->ports();
    std::cout << "kestod: serving on " << (*server)->address() << " ports " << ports[0] << ','
              << ports[1] << ',' << ports[2];
    if ((*server)->phonePort() != 0) std::cout << "; phones on port " << (*server)->phonePort();
    std::cout << std::endl;
    auto status = (*server)->run();
    g_server = nullptr;
    if (!status) return reportFailure(status.error());
    std::cerr << "kestod: stopped\n";
    return support::kExitOk;
}

}  // namespace velquor::server
