// Answering the device port's "LIST" and "FREE" requests, our extension of the protocol for
// reading registrations back. LIST: a page of the requesting user's devices in canonical MAC
// order, or the registration of one MAC address (another account's only as "OTHER", never
// naming it); the administrator may name, in the server field, an account whose devices to
// list. FREE: the administrator frees every device of the account named in the server field
// (before deleting it, say). Each needs the requesting user's grant, as every device request.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "server/requests/request_handler.h"
#include "server/store/account_store.h"

namespace velquor::server {

// True for a device record this file answers rather than the ADD/UP/DEL handling.
bool isInventoryRequest(std::string_view record);

// Nothing when the record's user holds a grant at the peer, else the refusal to send (the
// outcome so far, with the word and reason).
using GrantCheck =
    std::function<std::optional<RequestOutcome>(const RequestOutcome&, std::string_view user)>;

RequestOutcome answerInventoryRequest(AccountStore& store, std::string_view record,
                                      const GrantCheck& grantProblem);

}  // namespace velquor::server
