// 'kestod users' and 'kestod devices': what a server's store holds, one tab-separated line per
// row. Names come from clients, so they are escaped as in the request log. 'kestod devices
// release' frees registrations on the server, with a line in the system log for each.
#include <syslog.h>

#include <chrono>
#include <iostream>

#include "mac/mac_address.h"
#include "server/commands/command_line.h"
#include "server/commands/sub_commands.h"
#include "server/requests/request_log.h"
#include "server/store/account_store.h"
#include "server/store/stored_macs.h"
#include "server/tls/serving_checks.h"
#include "support/exit_status.h"

namespace velquor::server {

namespace {

std::string ownerOf(const DeviceRow& device) {
    return "registered by " + escapeForLog(device.owner) + ", account " +
           std::to_string(device.accountId) + (device.ownerDeleted ? ", deleted" : "");
}

// Frees each MAC whoever holds it; a MAC that is not registered is an error, the others are
// freed all the same.
int releaseDevices(AccountStore& store, const std::vector<std::string>& macs) {
    ::openlog("kestod", LOG_PID, LOG_AUTHPRIV);
    bool allFound = true;
    for (const auto& given : macs) {
        // Any spelling names the device; a stored text that is no MAC is named as the
        // listing prints it, escaped.
        const std::string mac = mac::canonicalMac(given).value_or(unescapeLogText(given));
        auto released = store.releaseDevice(mac);
        if (!released) return reportFailure(released.error());
        if (!released->has_value()) {
            std::cerr << "kestod: " << escapeForLog(mac) << " is not registered\n";
            allFound = false;
            continue;
        }
        const std::string what = "released " + escapeForLog(mac) + " (" + ownerOf(**released) +
                                 ", server \"" + escapeForLog((*released)->server) + "\")";
        ::syslog(LOG_NOTICE, "%s with 'kestod devices release'", what.c_str());
        std::cout << "kestod: " << what << '\n';
    }
    ::closelog();
    return allFound ? support::kExitOk : support::kExitFailure;
}

// Gives one MAC, in any spelling, to a user, with a line in the system log.
int assignDevice(AccountStore& store, const std::string& given, const std::string& user) {
    const std::string mac = mac::canonicalMac(given).value_or(unescapeLogText(given));
    auto assigned = store.assignDevice(mac, user);
    if (!assigned) return reportFailure(assigned.error());
    if (*assigned != StoreOutcome::Done) {
        std::cerr << "kestod: " << escapeForLog(mac)
                  << " is not registered, or " + escapeForLog(user) + " has no account\n";
        return support::kExitFailure;
    }
    const std::string what = "assigned " + escapeForLog(mac) + " to " + escapeForLog(user);
    ::openlog("kestod", LOG_PID, LOG_AUTHPRIV);
    ::syslog(LOG_NOTICE, "%s with 'kestod devices assign'", what.c_str());
    ::closelog();
    std::cout << "kestod: " << what << '\n';
    return support::kExitOk;
}

// Lets a user's logins from a range be checked whatever guessing there is, for some days,
// with a line in the system log.
int trustAddresses(AccountStore& store, const UsersOptions& options) {
    const auto lifetime = std::chrono::days(options.trustDays);
    auto trusted = store.trustAddresses(options.trustUser, options.trustRange, lifetime);
    if (!trusted) return reportFailure(trusted.error());
    if (*trusted != StoreOutcome::Done) {
        std::cerr << "kestod: " << escapeForLog(options.trustUser) << " has no account\n";
        return support::kExitFailure;
    }
    const std::string what = "trusted " + options.trustRange + " for the logins of " +
                             escapeForLog(options.trustUser) + " for " +
                             std::to_string(options.trustDays) + " days";
    ::openlog("kestod", LOG_PID, LOG_AUTHPRIV);
    ::syslog(LOG_NOTICE, "%s with 'kestod users trust'", what.c_str());
    const std::string warning = "warning: every address is trusted for the logins of " +
                                escapeForLog(options.trustUser) +
                                ": no guessing limit holds back a guess at its password";
    if (options.trustEverywhere) ::syslog(LOG_WARNING, "%s", warning.c_str());
    ::closelog();
    std::cout << "kestod: " << what << '\n';
    if (options.trustEverywhere) std::cerr << "kestod: " << warning << '\n';
    return support::kExitOk;
}

}  // namespace

int runUsersCommand(const std::vector<std::string>& args) {
    auto options = parseUsersOptions(args);
    if (!options) return reportFailure(options.error());
    const StoreLocation& location = options->store;
    auto store = openAccountStore(location, AccountStore::OpenMode::MustExist);
    if (!store) return reportFailure(store.error());
    if (!options->trustUser.empty()) return trustAddresses(**store, *options);
    // The one look at a server an administrator takes often: the certificate's end shows here.
    if (!location.folder.empty()) {
        std::vector<std::string> warnings;
        const auto current = checkServerCertificate(serverFilesIn(location.folder), {}, &warnings);
        if (!current) std::cerr << "kestod: " << current.error().message << '\n';
        for (const auto& warning : warnings) std::cerr << "kestod: " << warning << '\n';
    }
    // The names are judged as the server that serves the store judges them.
    auto limits = (*store)->setting(kGuessingSettingsKey);
    if (!limits) return reportFailure(limits.error());
    auto users = (*store)->listUsers(guessingSettingsFrom(limits->value_or("")));
    if (!users) return reportFailure(users.error());
    // A fourth column only for a name under guessing: its failed logins in the last hour, and
    // whether logins from new addresses of a network that guessed too are held back just now.
    std::cout << "user\tcreated\tdevices\tfailed logins\n";
    for (const auto& user : *users) {
        std::cout << escapeForLog(user.name) << '\t' << user.created << '\t' << user.devices;
        if (user.failedLogins > 0) {
            std::cout << '\t' << user.failedLogins << (user.heldBack ? " (held back)" : "");
        }
        std::cout << '\n';
    }
    return support::kExitOk;
}

// The last column tells the accounts apart: a deleted account's registrations stay listed
// under it, apart from a later account that took the same name.
int runDevicesCommand(const std::vector<std::string>& args) {
    auto options = parseDevicesOptions(args);
    if (!options) return reportFailure(options.error());
    auto store = openAccountStore(options->store, AccountStore::OpenMode::MustExist);
    if (!store) return reportFailure(store.error());
    if (!options->release.empty()) return releaseDevices(**store, options->release);
    if (!options->assign.empty()) {
        return assignDevice(**store, options->assign[0], options->assign[1]);
    }
    auto devices = (*store)->listDevices();
    if (!devices) return reportFailure(devices.error());
    if (options->invalid) {
        std::cout << "mac\tuser\taccount\twhy\n";
        for (const auto& device : unmatchedDevices(*devices)) {
            std::cout << escapeForLog(device.row.mac) << '\t' << escapeForLog(device.row.owner)
                      << '\t' << device.row.accountId << '\t' << device.why << '\n';
        }
        return support::kExitOk;
    }
    std::cout << "mac\tuser\tserver\tregistered\taccount\tasked\n";
    for (const auto& device : *devices) {
        std::cout << escapeForLog(device.mac) << '\t' << escapeForLog(device.owner) << '\t'
                  << escapeForLog(device.server) << '\t' << device.registered << '\t'
                  << device.accountId << (device.ownerDeleted ? " (deleted)" : "") << '\t'
                  << askedText(device.asked) << '\n';
    }
    return support::kExitOk;
}

}  // namespace velquor::server
