// The operator's work on the Kesto provisioning server, without any toolkit: login and the
// choice of role, user administration, password change, and bulk registration or removal of the
// MAC addresses listed in a spreadsheet. Every message the user sees goes through a Reporter
// with the product's own texts; the returned result is for the caller's control flow.
#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "provisioning/provisioning_channel.h"
#include "support/progress.h"
#include "support/reporter.h"
#include "support/result.h"

namespace velquor::provisioning {

// The administrator account, compared byte for byte: "Chief" is an ordinary user.
inline constexpr std::string_view kAdministratorName = "chief";

// The texts and captions the user sees, byte for byte as the product shows them.
namespace kesto_text {
inline constexpr std::string_view kLoginCaption = "Login";
inline constexpr std::string_view kLoginFailed = "Login failed!";

inline constexpr std::string_view kAddUserCaption = "Add user";
inline constexpr std::string_view kPasswordDifferent = "Password different! ";
inline constexpr std::string_view kAddUserSucceeded = "Add user successed!";
inline constexpr std::string_view kAddUserFailed = "Add user failed!";
inline constexpr std::string_view kDeleteUserCaption = "Delete user";
inline constexpr std::string_view kDeleteUserSucceeded = "Delete user successed!";
inline constexpr std::string_view kDeleteUserFailed = "Delete user failed!";

inline constexpr std::string_view kChangePasswordCaption = "ChangePassword";
inline constexpr std::string_view kPasswordNotEqual = "password not eque";
inline constexpr std::string_view kChangePasswordSucceeded = "ChangePassword successed! ";
inline constexpr std::string_view kChangePasswordFailed = "ChangePasswordr failed !";

inline constexpr std::string_view kAddDeviceCaption = "Add device";
inline constexpr std::string_view kReplaceDeviceCaption = "Replace device";
inline constexpr std::string_view kDeleteDeviceCaption = "Delete device";
inline constexpr std::string_view kAddDeviceCompleted = "Add device completely!";
inline constexpr std::string_view kDeleteDeviceCompleted = "Delete device completely!";
// "%s" stands for the cell's text.
inline constexpr std::string_view kReplaceQuestion = "%s exist,replace it?";
inline constexpr std::string_view kAddFailed = "%s add failed!";
inline constexpr std::string_view kReplaceFailed = "%s replace failed!";
inline constexpr std::string_view kDeleteFailed = "%s delete failed!";
}  // namespace kesto_text

// Puts text in place of the first "%s" of a product message.
std::string formatMessage(std::string_view pattern, std::string_view text);

enum class KestoRole {
    UserAdministration,  // the administrator account
    DeviceRegistration,  // every other account
};

// The role rests on the name alone; the server has already decided whether it may log in.
KestoRole roleForUser(std::string_view userName);

// Each request below ends at once, unanswered and unreported, with a Cancelled error when stop
// is requested while it waits on the network.

// Sends the login; on "YES" the role of that name. A refusal reports "Login failed!".
support::Result<KestoRole> login(const KestoEndpoint& endpoint, std::string_view userName,
                                 std::string_view password, support::Reporter& reporter,
                                 std::stop_token stop = {});

// The confirmation is compared byte for byte before anything is sent.
support::Status addUser(const KestoEndpoint& endpoint, std::string_view userName,
                        std::string_view password, std::string_view confirmation,
                        support::Reporter& reporter, std::stop_token stop = {});
// The password box's text travels as it stands, even empty.
support::Status deleteUser(const KestoEndpoint& endpoint, std::string_view userName,
                           std::string_view password, support::Reporter& reporter,
                           std::stop_token stop = {});
// Sets a new password for userName (the name the operator logged in with).
support::Status changePassword(const KestoEndpoint& endpoint, std::string_view userName,
                               std::string_view newPassword, std::string_view confirmation,
                               support::Reporter& reporter, std::stop_token stop = {});

// ---- Bulk device registration -----------------------------------------------------------

enum class ReplaceAnswer { Yes, No, YesToAll, NoToAll };

// Asked when the server already has a MAC address; question is the product's text with the MAC
// in place. Called on the thread that runs the batch.
using ReplaceQuestion =
    std::function<ReplaceAnswer(const std::string& macAddress, const std::string& question)>;

enum class DeviceOperation { Add, Replace, Delete };

enum class MacOutcome {
    Added,     // "ADD" accepted
    Replaced,  // "EXIST", then "UP" accepted
    Declined,  // "EXIST", and the operator chose not to replace it
    Deleted,   // "DEL" accepted
    Failed,    // refused or the exchange failed
    NotSent,   // the batch was cancelled before this MAC's turn
};

struct MacResult {
    int row = 0;     // 1-based, counted from A1
    int column = 0;  // 1-based, counted from A1
    std::string macAddress;
    DeviceOperation operation = DeviceOperation::Add;  // the last operation sent (or due)
    MacOutcome outcome = MacOutcome::NotSent;
};

// How many device exchanges a batch keeps in flight: one is the strict one-at-a-time run. The
// outcome never depends on it, only the time taken.
inline constexpr std::size_t kDefaultBatchJobs = 16;
inline constexpr std::size_t kMaxBatchJobs = 64;

struct DeviceBatch {
    std::string macFilePath;
    std::string server;                    // the Server box's text
    std::string userName;                  // the name the operator logged in with
    std::size_t jobs = kDefaultBatchJobs;  // 1 to kMaxBatchJobs; outside, the nearest bound
};

struct DeviceBatchSummary {
    DeviceOperation command = DeviceOperation::Add;  // Add or Delete
    std::vector<MacResult> results;                  // one per non-empty cell, in row order
    std::size_t emptyCells = 0;                      // cells skipped because they were empty
    bool cancelled = false;

    std::size_t count(MacOutcome outcome) const;
    std::vector<std::string> failedMacAddresses() const;
    // Nothing failed and nothing was left unsent: declined replacements are the operator's
    // choice, not failures.
    bool succeeded() const;
    // Every MAC of the file was registered (or removed) as asked, with no empty cell and no
    // declined replacement: nothing for the operator to look at beyond the completion text.
    bool complete() const;
};

// At most this many per-MAC failure messages are reported one by one; the rest go into the
// summary, so a long file with the server down does not mean one message per line.
inline constexpr std::size_t kMaxFailureMessages = 5;
// The summary text lists at most this many failed MAC addresses by name.
inline constexpr std::size_t kMaxListedFailures = 30;

// Reads the whole MAC file first (a reader failure names the file and the reason and sends
// nothing), checks every field's length, then sends one "ADD" per non-empty cell, up to
// batch.jobs at once. "EXIST" asks askReplace and, on Yes, sends "UP". Whatever the number in
// flight, the outcome is that of a one-at-a-time run in row order: a repeated MAC waits for its
// earlier row, and results, messages, questions and progress come out in row order, all on the
// calling thread. A stop request starts nothing new; exchanges already in flight are finished
// and reported. Reports the completion text when no request failed or went unsent, otherwise
// one summary.
support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    support::Reporter& reporter, support::ProgressSink& progress, std::stop_token stop);

// As addDevices, with one "DEL" per non-empty cell.
support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop);

// The summary shown instead of the completion text when something was not done.
std::string describeSummary(const DeviceBatchSummary& summary);

// The per-MAC results as CSV (row, column, MAC, operation, outcome), for a report file.
std::string formatResultsCsv(const DeviceBatchSummary& summary);

std::string_view operationName(DeviceOperation operation);  // "add", "replace", "delete"
std::string_view outcomeName(MacOutcome outcome);           // "added", "replaced", ...

}  // namespace velquor::provisioning
