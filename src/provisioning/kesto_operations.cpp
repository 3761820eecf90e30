// Login, user administration, password change and the bulk MAC commands over the request channel.
#include "provisioning/kesto_operations.h"

#include <optional>
#include <utility>

#include "sheet/sheet_reader.h"
#include "support/hex.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;

std::string formatMessage(std::string_view pattern, std::string_view text) {
    std::string message(pattern);
    if (auto at = message.find("%s"); at != std::string::npos) message.replace(at, 2, text);
    return message;
}

KestoRole roleForUser(std::string_view userName) {
    return userName == kAdministratorName ? KestoRole::UserAdministration
                                          : KestoRole::DeviceRegistration;
}

void LoginRefusals::recordRefusal(std::string_view userName) {
    std::lock_guard lock(m_mutex);
    auto it = m_counts.find(userName);
    if (it == m_counts.end()) it = m_counts.emplace(std::string(userName), 0).first;
    ++it->second;
}

void LoginRefusals::recordSuccess(std::string_view userName) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_counts.find(userName); it != m_counts.end()) m_counts.erase(it);
}

int LoginRefusals::refusals(std::string_view userName) const {
    std::lock_guard lock(m_mutex);
    auto it = m_counts.find(userName);
    return it == m_counts.end() ? 0 : it->second;
}

support::Phrase refusalReason(const ProvisioningChannel& channel,
                              const support::Phrase& likelyCauses) {
    if (channel.lastFailureStage() != FailureStage::None || refusalSaysWhy(channel.lastRefusal())) {
        if (!channel.lastErrorPhrase().empty()) return channel.lastErrorPhrase();
        return support::Phrase{"%1",
                               {channel.lastError().empty()
                                    ? std::string(VELQUOR_TR_NOOP("core", "the request failed"))
                                    : channel.lastError()},
                               support::markedArgument(1)};
    }
    //: %1 is the server's reply word, %2 the likely causes
    return support::withReason(
        support::Phrase{VELQUOR_TR_NOOP("core", "the server replied \"%1\": %2"),
                        {support::escapeNonPrintable(channel.lastReply())}},
        likelyCauses.english(), likelyCauses);
}

namespace {

// Why an exchange did not end in "YES", for callers that branch on the error: a server that
// answered refused, anything else is the network's.
support::Error refusal(const ProvisioningChannel& channel, std::string_view what,
                       const support::Phrase& reason) {
    const ErrorCode code =
        channel.lastFailureStage() == FailureStage::None ? ErrorCode::Refused : ErrorCode::Network;
    //: %1 is what was asked ("Add user", "login"), %2 why it failed
    return makeError(code, support::withReason(support::Phrase{VELQUOR_TR_NOOP("core", "%1: %2"),
                                                               {std::string(what)},
                                                               support::markedArgument(1)},
                                               reason.english(), reason));
}

// A record that cannot be built (a text too long for its field) is refused under the command's
// caption, naming the field; nothing is sent.
support::Error refuseField(const support::Error& error, std::string_view caption,
                           support::Reporter& reporter) {
    reporter.report(error.message, caption);
    return error;
}

ProvisioningChannel channelFor(const KestoEndpoint& endpoint, std::stop_token stop) {
    ProvisioningChannel channel(endpoint);
    channel.setStopToken(std::move(stop));
    return channel;
}

// A request the operator cancelled is not a refusal: nothing is reported.
support::Error cancelled(std::string_view what) {
    //: %1 is what was asked ("Add user", "login")
    return makeError(ErrorCode::Cancelled, support::Phrase{VELQUOR_TR_NOOP("core", "%1: cancelled"),
                                                           {std::string(what)},
                                                           support::markedArgument(1)});
}

// What one kind of account request says to the operator.
struct AccountTexts {
    std::string_view caption;
    std::string_view succeeded;
    std::string_view failed;
    std::string_view mismatch;  // the password differs from its confirmation
    // Of a bare refusal, for the failure's detail: the causes the reply leaves open, narrowed
    // by what was sent (an empty password is the likelier cause when one was sent).
    std::string_view likelyCauses;
    std::string_view causesWithEmptyPassword;
};
constexpr AccountTexts kAddUserTexts{
    kesto_text::kAddUserCaption,
    kesto_text::kAddUserSucceeded,
    kesto_text::kAddUserFailed,
    kesto_text::kPasswordDifferent,
    VELQUOR_TR_NOOP("core",
                    "the name is taken or not acceptable, or the administrator's login has "
                    "expired or the server restarted: log in again"),
    VELQUOR_TR_NOOP("core",
                    "the password is empty, or the administrator's login has expired or the "
                    "server restarted: log in again")};
constexpr AccountTexts kDeleteUserTexts{
    kesto_text::kDeleteUserCaption,
    kesto_text::kDeleteUserSucceeded,
    kesto_text::kDeleteUserFailed,
    {},
    VELQUOR_TR_NOOP("core",
                    "there is no such user, or the administrator's login has expired or the "
                    "server restarted: log in again"),
    {}};
constexpr AccountTexts kChangePasswordTexts{
    kesto_text::kChangePasswordCaption,
    kesto_text::kChangePasswordSucceeded,
    kesto_text::kChangePasswordFailed,
    kesto_text::kPasswordNotEqual,
    VELQUOR_TR_NOOP("core", "the login has expired or the server restarted: log in again"),
    VELQUOR_TR_NOOP("core",
                    "the new password is empty, or the login has expired or the server "
                    "restarted: log in again")};

support::Phrase likelyCausesOf(const AccountTexts& texts, std::string_view passwordSent) {
    if (passwordSent.empty() && !texts.causesWithEmptyPassword.empty()) {
        return support::Phrase{texts.causesWithEmptyPassword.data(), {}};
    }
    return support::Phrase{texts.likelyCauses.data(), {}};
}

struct AccountChange {
    std::string_view operation;
    std::string_view userName;
    std::string_view password;
};

// A password and its confirmation are compared byte for byte before anything is sent.
support::Status sendAccount(const KestoEndpoint& endpoint, const AccountChange& change,
                            const AccountTexts& texts, support::Reporter& reporter,
                            std::stop_token stop,
                            std::optional<std::string_view> confirmation = std::nullopt) {
    if (confirmation && *confirmation != change.password) {
        reporter.report(texts.mismatch, texts.caption);
        return makeError(ErrorCode::InvalidInput,
                         VELQUOR_TR_NOOP("core", "the password and its confirmation differ"));
    }
    auto record = wire::buildAccountRequest(wire::AccountFields{
        std::string(change.operation), std::string(change.userName), std::string(change.password)});
    if (!record) return refuseField(record.error(), texts.caption, reporter);
    ProvisioningChannel channel = channelFor(endpoint, stop);
    if (channel.SendAccountRequest(*record) != 0) {
        if (stop.stop_requested()) return cancelled(texts.caption);
        const support::Phrase reason =
            refusalReason(channel, likelyCausesOf(texts, change.password));
        reporter.reportWorded(texts.failed, texts.caption, reason);
        return refusal(channel, texts.caption, reason);
    }
    reporter.report(texts.succeeded, texts.caption);
    return {};
}

}  // namespace

namespace {

// After a "NO": the name or password, and once this caller has seen several refusals of the
// name, the server's lock-out, which refuses even the right password for a while.
support::Phrase loginRefusalCauses(std::string_view userName, int refusals) {
    if (refusals < LoginRefusals::kSeveral) {
        return support::Phrase{VELQUOR_TR_NOOP("core", "the name or password was refused"), {}};
    }
    //: %1 is how many times the name was refused, %2 the name
    return support::Phrase{
        VELQUOR_TR_NOOP("core",
                        "the name or password was refused (%1 times for \"%2\"); after 10 failed "
                        "logins the server refuses that name from this address for a while, even "
                        "with the right password"),
        {std::to_string(refusals), std::string(userName)}};
}

}  // namespace

support::Result<KestoRole> login(const KestoEndpoint& endpoint, std::string_view userName,
                                 std::string_view password, support::Reporter& reporter,
                                 std::stop_token stop, LoginRefusals* refusals) {
    auto record =
        wire::buildLoginRequest(wire::LoginFields{std::string(userName), std::string(password)});
    if (!record) return refuseField(record.error(), kesto_text::kLoginCaption, reporter);
    ProvisioningChannel channel = channelFor(endpoint, stop);
    if (channel.SendLoginRequest(*record) != 0) {
        if (stop.stop_requested()) return cancelled(VELQUOR_TR_NOOP("core", "login"));
        const bool answered = channel.lastFailureStage() == FailureStage::None;
        if (answered && refusals != nullptr) refusals->recordRefusal(userName);
        const int seen = refusals != nullptr ? refusals->refusals(userName) : 1;
        const support::Phrase reason = refusalReason(channel, loginRefusalCauses(userName, seen));
        reporter.reportWorded(kesto_text::kLoginFailed, kesto_text::kLoginCaption, reason);
        return refusal(channel, VELQUOR_TR_NOOP("core", "login"), reason);
    }
    if (refusals != nullptr) refusals->recordSuccess(userName);
    return roleForUser(userName);
}

support::Status addUser(const KestoEndpoint& endpoint, std::string_view userName,
                        std::string_view password, std::string_view confirmation,
                        support::Reporter& reporter, std::stop_token stop) {
    return sendAccount(endpoint, {wire::kOperationAdd, userName, password}, kAddUserTexts, reporter,
                       std::move(stop), confirmation);
}

support::Status deleteUser(const KestoEndpoint& endpoint, std::string_view userName,
                           std::string_view password, support::Reporter& reporter,
                           std::stop_token stop) {
    return sendAccount(endpoint, {wire::kOperationDelete, userName, password}, kDeleteUserTexts,
                       reporter, std::move(stop));
}

support::Status changePassword(const KestoEndpoint& endpoint, std::string_view userName,
                               std::string_view newPassword, std::string_view confirmation,
                               support::Reporter& reporter, std::stop_token stop) {
    return sendAccount(endpoint, {wire::kOperationUpdate, userName, newPassword},
                       kChangePasswordTexts, reporter, std::move(stop), confirmation);
}

}  // namespace velquor::provisioning
