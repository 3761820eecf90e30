// 'kestod users' and 'kestod devices': what a server folder's database holds, one tab-separated
// line per row. Names come from clients, so they are escaped as in the request log.
#include <iostream>

#include "server/account_store.h"
#include "server/command_line.h"
#include "server/kestod_commands.h"
#include "server/request_log.h"
#include "server/server_files.h"
#include "support/exit_status.h"

namespace velquor::server {

namespace {

// The database of the folder the command line names, which must exist already.
support::Result<AccountStore> openExisting(const std::vector<std::string>& args) {
    auto folder = parseFolderOnly(args);
    if (!folder) return folder.error();
    return AccountStore::open(serverFilesIn(*folder).database, AccountStore::OpenMode::MustExist);
}

}  // namespace

int runUsersCommand(const std::vector<std::string>& args) {
    auto store = openExisting(args);
    if (!store) return reportFailure(store.error());
    auto users = store->listUsers();
    if (!users) return reportFailure(users.error());
    std::cout << "user\tcreated\tdevices\n";
    for (const auto& user : *users) {
        std::cout << escapeForLog(user.name) << '\t' << user.created << '\t' << user.devices
                  << '\n';
    }
    return support::kExitOk;
}

int runDevicesCommand(const std::vector<std::string>& args) {
    auto store = openExisting(args);
    if (!store) return reportFailure(store.error());
    auto devices = store->listDevices();
    if (!devices) return reportFailure(devices.error());
    std::cout << "mac\tuser\tserver\tregistered\n";
    for (const auto& device : *devices) {
        std::cout << escapeForLog(device.mac) << '\t' << escapeForLog(device.owner) << '\t'
                  << escapeForLog(device.server) << '\t' << device.registered << '\n';
    }
    return support::kExitOk;
}

}  // namespace velquor::server
