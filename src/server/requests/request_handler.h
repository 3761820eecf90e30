// RequestHandler: turns one decoded request record into kestod's reply word, applying the
// authorisation rules (a login grants its user, from its peer address, a limited time of
// requests; account ADD/DEL need a grant of the administrator; a password change or a
// device change needs the named user's own grant; the administrator's password is never set
// over the wire) and the changes to the store.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/store/account_store.h"

namespace velquor::server {

// The administrator account: made by 'kestod init', never deleted.
inline constexpr std::string_view kAdministratorName = "chief";

// The technicians' three ports, and the phones' port (phone_request.h).
enum class RequestKind { Login, Account, Device, Phone };
inline constexpr std::size_t kRequestKinds = 4;

std::string_view requestKindName(RequestKind kind);
// The exact record length a port expects; for the phones' port, the most a request's head
// may take.
std::size_t recordLengthOf(RequestKind kind);

// What a request came to, for the reply and the log line (never the password).
struct RequestOutcome {
    std::string reply;      // "YES", "EXIST", "NO" or a refusal that says why (wire_records.h)
    std::string operation;  // "LOGIN", "ADD", "DEL", "UP", or the unknown text received
    std::string user;
    std::string mac;
    std::string detail;  // why a request was refused, empty when it was not
    std::string notice;  // a line of its own for the log (a name passing its guessing limit)
    // A refusal a flood makes by the thousand: counted under this reason (refusal_tally.h)
    // rather than logged one line each; empty for every other outcome.
    std::string tallied;
    // What the log shows of a reply that is not a word (a listing: "ROWS 1000"); empty: reply.
    std::string logged;
};

// The rules every worker applies; the grants and failure counts themselves are in the store,
// so that every worker, and every instance on a shared database, answers alike.
struct AuthorisationSettings {
    LoginLimits loginLimits;
    std::chrono::milliseconds grantLifetime{std::chrono::minutes(30)};
    std::uint32_t newHashIterations = kDefaultPbkdf2Iterations;  // for passwords set over the wire
};

class RequestHandler {
public:
    RequestHandler(AccountStore& store, AuthorisationSettings settings)
        : m_store(store), m_settings(settings) {}

    RequestOutcome handle(RequestKind kind, std::string_view peer, std::string_view record);

private:
    RequestOutcome handleLogin(std::string_view peer, std::string_view record);
    RequestOutcome handleAccount(std::string_view peer, std::string_view record);
    RequestOutcome handleDevice(std::string_view peer, std::string_view record);
    // Nothing when the user holds a grant at the peer address, else the refusal (the reason
    // without, or the store's error).
    std::optional<RequestOutcome> missingGrant(const RequestOutcome& outcome, std::string_view user,
                                               std::string_view peer, std::string_view without);

    AccountStore& m_store;
    AuthorisationSettings m_settings;
};

// A name fit to be an account: not empty, no control characters.
bool isAcceptableAccountName(std::string_view name);

}  // namespace velquor::server
