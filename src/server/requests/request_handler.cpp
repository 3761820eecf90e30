// The authorisation rules and store changes behind each request; see request_handler.h.
#include "server/requests/request_handler.h"

#include "mac/mac_address.h"
#include "net/address_range.h"
#include "server/requests/listing_request.h"
#include "server/requests/phone_request.h"
#include "server/store/stored_macs.h"
#include "wire/wire_records.h"

namespace velquor::server {

namespace {

RequestOutcome refuse(RequestOutcome outcome, std::string detail,
                      std::string_view word = wire::kReplyNo) {
    outcome.reply = std::string(word);
    outcome.detail = std::move(detail);
    return outcome;
}

// A store that failed has changed nothing (its transaction was rolled back), so the client
// may try again; except when the connection broke while a change was committing: whether it
// was made is unknown, and sending it again is for the operator to decide.
RequestOutcome refuseStoreError(RequestOutcome outcome, const support::Error& error) {
    const bool unknown = error.message.starts_with(kOutcomeUnknown);
    return refuse(std::move(outcome), "store error: " + error.message,
                  unknown ? wire::kReplyNo : wire::kReplyTryAgain);
}

RequestOutcome accept(RequestOutcome outcome) {
    outcome.reply = std::string(wire::kReplyYes);
    return outcome;
}

// Maps a store result onto a reply: Done is "YES", a taken name or MAC "EXIST", anything
// else a refusal that says why in the log.
RequestOutcome settle(RequestOutcome outcome, const support::Result<StoreOutcome>& result,
                      std::string_view notFoundDetail) {
    if (!result) return refuseStoreError(std::move(outcome), result.error());
    switch (*result) {
        case StoreOutcome::Done:
            return accept(std::move(outcome));
        case StoreOutcome::Exists:
            outcome.reply = std::string(wire::kReplyExist);
            return outcome;
        case StoreOutcome::NotFound:
            break;
    }
    return refuse(std::move(outcome), std::string(notFoundDetail));
}

// A name no account has may be a password typed into the wrong box: the log keeps only its
// first byte and its length.
std::string maskedName(std::string_view name) {
    if (name.empty()) return {};
    return std::string(1, name.front()) + "... (" + std::to_string(name.size()) + " bytes)";
}

// Why a login was not even checked, for the log.
std::string heldBackDetail(const LoginAdmission& admission) {
    switch (admission.decision.verdict) {
        case LoginVerdict::NameAtAddress:
        case LoginVerdict::Address:
            return "too many failed logins";
        case LoginVerdict::Account:
            return "held back for " + std::to_string(admission.decision.holdFor.count()) +
                   " ms: " + std::to_string(admission.guesses) +
                   " failed logins of this name from " + std::to_string(admission.networks) +
                   " networks in the last hour";
        case LoginVerdict::Check:
            break;
    }
    return {};
}

bool isAcceptablePassword(std::string_view password) {
    return !password.empty();
}

bool isKnownOperation(std::string_view operation) {
    return operation == wire::kOperationAdd || operation == wire::kOperationUpdate ||
           operation == wire::kOperationDelete;
}

// A record meant for another port (a login sent to the device port, say) fills the fields with
// whatever it held, a password among them: only its length, up to its zero padding, is
// logged, and the first field only as far as it could be an operation.
RequestOutcome refuseUnknownOperation(RequestOutcome outcome, std::string_view record) {
    const auto lastByte = record.find_last_not_of('\0');
    const std::size_t used = lastByte == std::string_view::npos ? 0 : lastByte + 1;
    if (outcome.operation.size() > 8) outcome.operation = "?";
    return refuse(std::move(outcome), "unknown operation; " + std::to_string(used) + " of the " +
                                          std::to_string(record.size()) +
                                          " bytes in use, not a record of this port");
}

}  // namespace

std::string_view requestKindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::Login:
            return "login";
        case RequestKind::Account:
            return "account";
        case RequestKind::Device:
            return "device";
        case RequestKind::Phone:
            return "phone";
    }
    return "?";
}

std::size_t recordLengthOf(RequestKind kind) {
    switch (kind) {
        case RequestKind::Login:
            return wire::kLoginRequestSize;
        case RequestKind::Account:
            return wire::kAccountRequestSize;
        case RequestKind::Device:
            return wire::kDeviceRequestSize;
        case RequestKind::Phone:
            return kMostPhoneRequestHead;
    }
    return 0;
}

bool isAcceptableAccountName(std::string_view name) {
    if (name.empty()) return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    return true;
}

RequestOutcome RequestHandler::handle(RequestKind kind, std::string_view peer,
                                      std::string_view record) {
    switch (kind) {
        case RequestKind::Login:
            return handleLogin(peer, record);
        case RequestKind::Account:
            return handleAccount(peer, record);
        case RequestKind::Device:
            return handleDevice(peer, record);
        case RequestKind::Phone:
            break;  // the workers answer phones by their certificates (answerPhone)
    }
    return refuse({}, "unknown port");
}

RequestOutcome RequestHandler::handleLogin(std::string_view peer, std::string_view record) {
    RequestOutcome outcome;
    outcome.operation = "LOGIN";
    auto fields = wire::decodeLoginRequest(record);
    if (!fields) return refuse(std::move(outcome), "malformed: " + fields.error().message);
    outcome.user = fields->userName;
    const std::string group = net::addressGroupText(peer);
    auto admitted = m_store.admitLogin(fields->userName, peer, group, m_settings.loginLimits);
    if (!admitted) return refuseStoreError(std::move(outcome), admitted.error());
    auto stored = m_store.findLogin(fields->userName);
    if (!stored) return refuseStoreError(std::move(outcome), stored.error());
    const LoginDecision& decision = admitted->decision;
    if (decision.verdict != LoginVerdict::Check) {
        if (!stored->has_value()) outcome.user = maskedName(fields->userName);
        const bool account = decision.verdict == LoginVerdict::Account;
        outcome.tallied = account ? "logins held back after failed logins from elsewhere"
                                  : "logins held back after too many failed logins";
        return refuse(
            std::move(outcome), heldBackDetail(*admitted),
            account ? wire::heldBackReply(admitted->guesses) : std::string(wire::kReplyTryAgain));
    }
    bool matches = false;
    if (stored->has_value()) {
        matches = verifyPassword(fields->password, (*stored)->hash);
    } else {
        // The same work for an unknown name, so timing does not tell which names exist.
        spendVerificationTime(fields->password, m_settings.newHashIterations);
    }
    // The attempt was counted as a failure when it was admitted; only a success takes it back.
    if (!matches) {
        if (!stored->has_value()) outcome.user = maskedName(fields->userName);
        if (decision.pacingStarts) {
            outcome.notice = "the name passed its limit of failed logins (" +
                             std::to_string(admitted->guesses) + " from " +
                             std::to_string(admitted->networks) +
                             " networks): its logins from new addresses are held back from now on";
        }
        return refuse(std::move(outcome), "wrong name or password");
    }
    auto granted = m_store.grantLogin(fields->userName, **stored, peer, group, decision.guess,
                                      m_settings.grantLifetime);
    if (!granted) return refuseStoreError(std::move(outcome), granted.error());
    if (!*granted) {
        return refuse(std::move(outcome),
                      "the password was changed or the account deleted "
                      "while the login was checked");
    }
    return accept(std::move(outcome));
}

std::optional<RequestOutcome> RequestHandler::missingGrant(const RequestOutcome& outcome,
                                                           std::string_view user,
                                                           std::string_view peer,
                                                           std::string_view without) {
    auto holds = m_store.holdsGrant(user, peer);
    if (!holds) return refuseStoreError(outcome, holds.error());
    if (*holds) return std::nullopt;
    return refuse(outcome, std::string(without), wire::kReplyNotLoggedIn);
}

RequestOutcome RequestHandler::handleAccount(std::string_view peer, std::string_view record) {
    RequestOutcome outcome;
    outcome.operation = "ACCOUNT";
    auto fields = wire::decodeAccountRequest(record);
    if (!fields) return refuse(std::move(outcome), "malformed: " + fields.error().message);
    outcome.operation = fields->operation;
    if (!isKnownOperation(fields->operation))
        return refuseUnknownOperation(std::move(outcome), record);
    outcome.user = fields->userName;
    const std::string& name = fields->userName;

    if (fields->operation == wire::kOperationAdd || fields->operation == wire::kOperationDelete) {
        if (auto refused = missingGrant(outcome, kAdministratorName, peer,
                                        "no administrator login from this address")) {
            return *refused;
        }
    } else {
        // Anyone who shares the administrator's address could otherwise take the account over
        // while its grant lives; its password is set on the server, with 'kestod passwd'.
        if (name == kAdministratorName) {
            return refuse(std::move(outcome),
                          "the administrator's password is set with 'kestod passwd' only");
        }
        if (auto refused =
                missingGrant(outcome, name, peer, "no login of this user from this address")) {
            return *refused;
        }
    }

    if (fields->operation == wire::kOperationDelete) {
        if (name == kAdministratorName) {
            return refuse(std::move(outcome), "the administrator account cannot be deleted");
        }
        return settle(std::move(outcome), m_store.deleteUser(name), "no such account");
    }

    if (!isAcceptableAccountName(name)) {
        return refuse(std::move(outcome), "unacceptable name", wire::kReplyNotAcceptable);
    }
    if (!isAcceptablePassword(fields->password)) {
        return refuse(std::move(outcome), "empty password", wire::kReplyNotAcceptable);
    }
    auto hash = hashPassword(fields->password, m_settings.newHashIterations);
    if (!hash) return refuse(std::move(outcome), hash.error().message);
    if (fields->operation == wire::kOperationAdd) {
        return settle(std::move(outcome), m_store.addUser(name, *hash), "not added");
    }
    // The grant of the address that made the change stays: the dialog it came from goes on.
    return settle(std::move(outcome), m_store.setPassword(name, *hash, peer), "no such account");
}

RequestOutcome RequestHandler::handleDevice(std::string_view peer, std::string_view record) {
    if (isInventoryRequest(record)) {
        return answerInventoryRequest(
            m_store, record, [&](const RequestOutcome& outcome, std::string_view user) {
                return missingGrant(outcome, user, peer, "no login of this user from this address");
            });
    }
    RequestOutcome outcome;
    outcome.operation = "DEVICE";
    auto fields = wire::decodeDeviceRequest(record);
    if (!fields) return refuse(std::move(outcome), "malformed: " + fields.error().message);
    outcome.operation = fields->operation;
    if (!isKnownOperation(fields->operation))
        return refuseUnknownOperation(std::move(outcome), record);
    outcome.user = fields->userName;
    // One device, however the record spells it. A field that is no MAC address is neither
    // stored nor logged: it may hold a password from the wrong sheet.
    const std::string mac = mac::canonicalMac(fields->macAddress).value_or(std::string());
    outcome.mac = mac;
    if (auto refused = missingGrant(outcome, fields->userName, peer,
                                    "no login of this user from this address")) {
        return *refused;
    }
    if (std::string notMac = macFieldRefusal(fields->macAddress); !notMac.empty()) {
        return refuse(std::move(outcome), std::move(notMac), wire::kReplyNotAcceptable);
    }

    if (fields->operation == wire::kOperationAdd) {
        return settle(std::move(outcome), m_store.addDevice(mac, fields->server, fields->userName),
                      "not added");
    }
    if (fields->operation == wire::kOperationUpdate) {
        return settle(std::move(outcome),
                      m_store.replaceDevice(mac, fields->server, fields->userName),
                      "no such registration of this user");
    }
    return settle(std::move(outcome), m_store.deleteDevice(mac, fields->userName),
                  "no such registration of this user");
}

}  // namespace velquor::server
