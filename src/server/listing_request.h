// Answering the device port's "LIST" and "FREE" requests, our extension of the protocol for
// reading registrations back. LIST: a page of the requesting user's devices in canonical MAC
// order, or the registration of one MAC address (another account's only as "OTHER", never
// naming it); the administrator may name, in the server field, an account whose devices to
// list. FREE: the administrator frees every device of the account named in the server field
// (before deleting it, say). Each needs the requesting user's grant, as every device request.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "server/account_store.h"
#include "server/request_handler.h"

namespace velquor::server {

// True for a device record this file answers rather than the ADD/UP/DEL handling.
bool isInventoryRequest(std::string_view record);

// grantProblem: empty when the record's user holds a grant at the peer, else why not.
RequestOutcome answerInventoryRequest(
    AccountStore& store, std::string_view record,
    const std::function<std::string(std::string_view user)>& grantProblem);

}  // namespace velquor::server
