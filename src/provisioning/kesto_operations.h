// The operator's work on the Kesto provisioning server, without any toolkit: login and the
// choice of role, user administration, password change, and bulk registration or removal of the
// MAC addresses listed in a spreadsheet. Every message the user sees goes through a Reporter
// with the product's own texts; the returned result is for the caller's control flow.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "mac/mac_address.h"
#include "provisioning/mac_cells.h"
#include "provisioning/provisioning_channel.h"
#include "report/report_table.h"
#include "support/progress.h"
#include "support/reporter.h"
#include "support/result.h"
#include "support/translatable.h"

namespace velquor::provisioning {

// The administrator account, compared byte for byte: "Chief" is an ordinary user.
inline constexpr std::string_view kAdministratorName = "chief";

// The texts and captions the user sees, byte for byte as the product shows them.
namespace kesto_text {
inline constexpr std::string_view kLoginCaption = VELQUOR_TR_NOOP("core", "Login");
inline constexpr std::string_view kLoginFailed = VELQUOR_TR_NOOP("core", "Login failed!");

inline constexpr std::string_view kAddUserCaption = VELQUOR_TR_NOOP("core", "Add user");
inline constexpr std::string_view kPasswordDifferent =
    VELQUOR_TR_NOOP("core", "Password different! ");
inline constexpr std::string_view kAddUserSucceeded =
    VELQUOR_TR_NOOP("core", "Add user successed!");
inline constexpr std::string_view kAddUserFailed = VELQUOR_TR_NOOP("core", "Add user failed!");
inline constexpr std::string_view kDeleteUserCaption = VELQUOR_TR_NOOP("core", "Delete user");
inline constexpr std::string_view kDeleteUserSucceeded =
    VELQUOR_TR_NOOP("core", "Delete user successed!");
inline constexpr std::string_view kDeleteUserFailed =
    VELQUOR_TR_NOOP("core", "Delete user failed!");

inline constexpr std::string_view kChangePasswordCaption =
    VELQUOR_TR_NOOP("core", "ChangePassword");
inline constexpr std::string_view kPasswordNotEqual = VELQUOR_TR_NOOP("core", "password not eque");
inline constexpr std::string_view kChangePasswordSucceeded =
    VELQUOR_TR_NOOP("core", "ChangePassword successed! ");
inline constexpr std::string_view kChangePasswordFailed =
    VELQUOR_TR_NOOP("core", "ChangePasswordr failed !");

inline constexpr std::string_view kAddDeviceCaption = VELQUOR_TR_NOOP("core", "Add device");
inline constexpr std::string_view kReplaceDeviceCaption = VELQUOR_TR_NOOP("core", "Replace device");
inline constexpr std::string_view kDeleteDeviceCaption = VELQUOR_TR_NOOP("core", "Delete device");
inline constexpr std::string_view kAddDeviceCompleted =
    VELQUOR_TR_NOOP("core", "Add device completely!");
inline constexpr std::string_view kDeleteDeviceCompleted =
    VELQUOR_TR_NOOP("core", "Delete device completely!");
// "%s" stands for the cell's text.
inline constexpr std::string_view kReplaceQuestion =
    VELQUOR_TR_NOOP("core", "%s exist,replace it?");
inline constexpr std::string_view kAddFailed = VELQUOR_TR_NOOP("core", "%s add failed!");
inline constexpr std::string_view kReplaceFailed = VELQUOR_TR_NOOP("core", "%s replace failed!");
inline constexpr std::string_view kDeleteFailed = VELQUOR_TR_NOOP("core", "%s delete failed!");
// Asked, with Retry and Stop, when a batch's first exchanges all fail to reach the server;
// "%s" is the server's address.
inline constexpr std::string_view kServerNotAnswering =
    VELQUOR_TR_NOOP("core", "The server %s is not answering");
}  // namespace kesto_text

// Puts text in place of the first "%s" of a product message.
std::string formatMessage(std::string_view pattern, std::string_view text);

enum class KestoRole {
    UserAdministration,  // the administrator account
    DeviceRegistration,  // every other account
};

// The role rests on the name alone; the server has already decided whether it may log in.
KestoRole roleForUser(std::string_view userName);

// The logins the server refused, per name, as seen by one window or one command: after a few
// the reason given says that the server locks a name out of an address for a while after 10
// failures, since from then on the right password is refused too and looks like a typo.
// Safe to share between threads; the caller owns it and hands it to every login().
class LoginRefusals {
public:
    // From this many refusals of one name on, the lock-out is mentioned.
    static constexpr int kSeveral = 3;

    void recordRefusal(std::string_view userName);
    void recordSuccess(std::string_view userName);
    int refusals(std::string_view userName) const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, int, std::less<>> m_counts;
};

// Each request below ends at once, unanswered and unreported, with a Cancelled error when stop
// is requested while it waits on the network. Every failure box carries the reason as its
// detail (Reporter::reportWithDetail): the connection refused with the address, no TLS
// handshake within the time-out, the certificate refused, or the server's "NO" with the likely
// causes for that request.

// Why a request was not accepted, fit for a user: the channel's reason when the exchange
// failed, or the server's reply word followed by likelyCauses when it answered.
// likelyCauses is worded in the window's language too.
support::Phrase refusalReason(const ProvisioningChannel& channel,
                              const support::Phrase& likelyCauses);

// Sends the login; on "YES" the role of that name. A refusal reports "Login failed!" with the
// reason: the name or password was refused, and once refusals counts several for the name,
// the server's lock-out after 10 failures.
support::Result<KestoRole> login(const KestoEndpoint& endpoint, std::string_view userName,
                                 std::string_view password, support::Reporter& reporter,
                                 std::stop_token stop = {}, LoginRefusals* refusals = nullptr);

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
// registeredTo is the server text the MAC is registered with now, where the server lists
// devices (empty otherwise).
using ReplaceQuestion = std::function<ReplaceAnswer(
    const std::string& macAddress, const std::string& question, const std::string& registeredTo)>;

// Asked once when the first exchanges of a batch all fail to reach the server (refused,
// reset, no handshake within the connect time-out) or all go unanswered: server is the address
// asked for, reason why the last one failed. true = Retry (the rows not yet sent go out
// again), false = Stop (they stay "not sent"). An empty function stops. Called on the thread
// that runs the batch, with nothing in flight being started meanwhile.
using ServerSilentQuestion =
    std::function<bool /*retry*/ (const std::string& server, const support::Phrase& reason)>;

// Asked once when the server refuses a batch's requests as not logged in (the login expired,
// the password was changed or the server restarted): server is the address asked for. The
// password to log in again with (as the batch's user), or nullopt to stop: the rows not done
// then stay "not sent", so that a retry can finish them. Called on the thread that runs the
// batch, with nothing new being started meanwhile.
using LoginEndedQuestion = std::function<std::optional<std::string>(const std::string& server)>;

enum class DeviceOperation { Add, Replace, Delete };

enum class MacOutcome {
    Added,     // "ADD" accepted
    Replaced,  // "EXIST", then "UP" accepted
    Declined,  // "EXIST", and the operator chose not to replace it
    Deleted,   // "DEL" accepted
    Failed,    // refused, or the exchange failed before the record left
    NotSent,   // the batch was cancelled or stopped before this MAC's turn
    Unknown,   // the record was sent and no reply came: the server may or may not have it
    Refused,   // not a MAC address: never sent (the reason says why)
    Skipped,   // never sent: the file's header, or a repeat of an earlier cell's MAC
    Usable,    // a check alone (checkMacFile): this cell would be sent
};

inline constexpr std::size_t kMacOutcomes = static_cast<std::size_t>(MacOutcome::Usable) + 1;

struct MacResult {
    int row = 0;             // 1-based, counted from A1
    int column = 0;          // 1-based, counted from A1
    std::string macAddress;  // the cell's text, as the messages and the results show it
    DeviceOperation operation = DeviceOperation::Add;  // the last operation sent (or due)
    MacOutcome outcome = MacOutcome::NotSent;
    // Why it is not done, fit for a user: "cannot connect to 10.0.0.5:44391: Connection
    // refused", "the server refused it (NO): ...". Empty for a row done as asked.
    std::string reason;
    // The MAC as the record carries it (in the batch's mac-form); empty for a cell never sent.
    std::string written;
    // The reason as a marked pattern and its arguments, when the window can word it.
    support::Phrase reasonPhrase{};
    // A failure the server answered for good (a MAC it does not take, a delete of a phone that
    // is not this account's): the same request sent again gets the same answer. Another
    // account's phone is not: that hold can end.
    bool answeredForGood = false;
    // The file's header cell (Skipped, reason "header"): listed with the rows, but no MAC
    // address, so no count of MAC addresses or of outcomes takes it.
    bool header = false;

    void setReason(support::Phrase phrase) {
        reason = phrase.english();
        reasonPhrase = std::move(phrase);
    }
};

// How many device exchanges a batch keeps in flight: one is the strict one-at-a-time run. The
// outcome never depends on it, only the time taken.
inline constexpr std::size_t kDefaultBatchJobs = 16;
inline constexpr std::size_t kMaxBatchJobs = 64;

struct DeviceBatch {
    std::string macFilePath;
    std::string server;                     // the Server box's text
    std::string userName;                   // the name the operator logged in with
    std::size_t jobs = kDefaultBatchJobs;   // 1 to kMaxBatchJobs; outside, the nearest bound
    mac::Form macForm = mac::kDefaultForm;  // how the records write each MAC
    // Send the MAC addresses of a file that does not look like a MAC file all the same.
    bool force = false;
    // When set, the MAC addresses to send instead of macFilePath's: typed ones (parseTypedMacs)
    // or the rows of an earlier batch (retryCells, readRetryReport). Each row is reported under
    // its cell's row and column.
    std::optional<MacFile> cells{};
    // When not 0, only this column (1-based) of macFilePath from row 2 on: the MAC column of
    // Generate's device sheet, row 1 its header.
    int macColumn = 0;
    // Each phone's own Server text by its row (a device sheet's server column,
    // deviceSheetServers); a row without one takes server.
    std::map<int, std::string> rowServers{};
};

// The Server text the phone of this row is registered with.
const std::string& serverOfRow(const DeviceBatch& batch, int row);

// At most this many per-MAC failure messages are reported one by one; the rest go into the
// summary, so a long file with the server down does not mean one message per line.
inline constexpr std::size_t kMaxFailureMessages = 5;
// The summary text lists at most this many failed MAC addresses by name.
inline constexpr std::size_t kMaxListedFailures = 30;

// The rows of a batch that went on to a report as they were done instead of being kept: how
// many ended each way, and the first few failed MAC addresses to name.
struct RowCounts {
    std::array<std::size_t, kMacOutcomes> outcomes{};
    std::vector<std::string> failedMacAddresses;  // at most kMaxListedFailures

    void add(const MacResult& row);
};

struct DeviceBatchSummary {
    DeviceOperation command = DeviceOperation::Add;  // Add or Delete
    std::vector<MacResult> results;  // one per non-empty cell, in row order, but those counted
    RowCounts counted;               // the rows that went on to a report as they were done
    std::size_t emptyCells = 0;      // cells skipped because they were empty
    bool cancelled = false;
    // Set when the batch stopped because the server was not answering: why the last exchange
    // failed. The rows it did not send are NotSent.
    std::string serverNotAnswering;
    support::Phrase serverNotAnsweringPhrase{};  // serverNotAnswering as the window words it
    // Set when the batch stopped because the server refused its requests as not logged in and
    // no new login followed (declined, or refused). The rows it did not do are NotSent.
    bool loginEnded = false;
    // The MAC addresses sent have letters in both cases: phones ask in one.
    bool mixedCase = false;

    // How many MAC addresses ended so; the header is none.
    std::size_t count(MacOutcome outcome) const;
    // The cells that stand for MAC addresses: every row but the header.
    std::size_t macCells() const;
    // Those of the rows held, then those named of the rows counted.
    std::vector<std::string> failedMacAddresses() const;
    // Nothing failed, nothing was left unsent and no reply is missing: declined replacements
    // are the operator's choice, not failures.
    bool succeeded() const;
    // Every MAC of the file was registered (or removed) as asked, with no empty cell and no
    // declined replacement: nothing for the operator to look at beyond the completion text.
    bool complete() const;
};

// Reads the whole MAC file first (or takes batch.cells; a reader failure names the file and the
// reason and sends nothing), checks every field's length, then sends one "ADD" per non-empty cell,
// up to batch.jobs at once. "EXIST" asks askReplace and, on Yes, sends "UP". Whatever the number in
// flight, the outcome is that of a one-at-a-time run in row order: a repeated MAC waits for its
// earlier row, and results, messages (each failure with its reason as the detail), questions
// and progress come out in row order, all on the calling thread.
//
// A server that does not answer is found in seconds: a time-out is not retried, and when the
// first exchanges all fail to reach it (or, later on, several in a row do), nothing new starts
// and askWhenSilent decides between Retry and Stop. A stop request takes effect within a
// fraction of a second: exchanges in flight are abandoned, a row whose record had left is
// Unknown, the rest NotSent. Reports the completion text when every row was done, otherwise
// one summary.
//
// Requests refused as not logged in are held, not failed: once a few in a row are (or every
// request still to come back), nothing new starts and askLoginEnded is asked for a password.
// With one, the batch logs in again (login(), which reports a refusal) and sends the held rows
// again, then the rest; asked again only after the new login got something accepted. Without
// one (declined, an empty function, or the new login refused) the rows not done end NotSent and
// summary.loginEnded is set.
support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    const ServerSilentQuestion& askWhenSilent, support::Reporter& reporter,
    support::ProgressSink& progress, std::stop_token stop,
    const LoginEndedQuestion& askLoginEnded = {});

// As addDevices, with one "DEL" per non-empty cell.
support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  const ServerSilentQuestion& askWhenSilent,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop,
                                                  const LoginEndedQuestion& askLoginEnded = {});

// The same for callers that cannot ask: every row is tried whatever the server does (a refusal
// as not logged in fails its row), as the product did (each still ends within the time-outs, and a
// Cancel still takes effect at once).
support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    support::Reporter& reporter, support::ProgressSink& progress, std::stop_token stop);
support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop);

// Every cell of the MAC file checked as the batch would check it, nothing sent: each row is
// Usable, Refused or Skipped. A file that does not look like a MAC file is the same error as
// for a batch. Reports nothing.
support::Result<DeviceBatchSummary> checkMacFile(DeviceOperation command, const DeviceBatch& batch,
                                                 std::stop_token stop = {});

// Why the Server text will not lead the phones anywhere, or empty when it looks like a URL:
// empty, or not a URL with a scheme and a host. The field is free text, so this is a warning,
// never a refusal.
std::string serverTextWarning(std::string_view server);
// The same as the window words it; empty when the text looks like a URL.
support::Phrase serverTextWarningPhrase(std::string_view server);

// How a batch ended, in one sentence: cancelled, stopped (the server silent, the login ended),
// not every device done (a row failed, was refused, went unsent or got no reply), or finished.
// The one rule behind every summary of a batch, whichever program words it.
support::Phrase batchHeadline(const DeviceBatchSummary& summary);

// The summary shown instead of the completion text when something was not done: the headline,
// then the counts.
std::string describeSummary(const DeviceBatchSummary& summary);

// The per-MAC results as a report (row, column, cell as the sheet names it, MAC, operation,
// outcome, reason, retry): the CLI's --report, and what the window saves for the same run.
// The last column, after the seven the first reports had, tells a retry of the report which
// rows to send again: "yes" for a row that failed, is unknown or was not sent, "no" for a
// failure the server answered for good (sending it again gets the same answer), empty for
// the rest.
report::ReportTable resultsTable(const DeviceBatchSummary& summary);
// The report's header, and one result as a line of it.
std::vector<std::string> resultsHeader();
std::vector<std::string> resultCells(const MacResult& result);

std::string_view operationName(DeviceOperation operation);  // "add", "replace", "delete"
// "added", "replaced", "not replaced", "deleted", "failed", "not sent", "unknown (sent, no
// reply)", "refused", "skipped" (a header or a repeat), "usable"
std::string_view outcomeName(MacOutcome outcome);

}  // namespace velquor::provisioning
